// Zoetra in the browser: animated GIFs from pictures and clips, made on the
// person's own machine by the same engine as the zoetra command.
//
//   import { createGif, readGif } from "./zoetra.js";
//   const gif = await createGif(files, { fps: 10, palette: "all", optimize: true }, ({ done, total }) => ...);
//   const { info, frames } = await readGif(gif);
//
// The browser decodes the sources; the engine runs in a Web Worker
// (zoetra-worker.js), one per call, so the page never freezes and
// cancelling ends it at once.

const WORKER_URL = new URL("./zoetra-worker.js", import.meta.url);

// The options createGif takes, as the Python module names them.
const OPTIONS = new Set([
  "delay_ms", "fps", "palette", "optimize", "quality", "loop", "width", "height", "fit", "background",
  "start", "duration", "signal",
]);

// A clip is sampled at the frame rate asked for, or this one: the page's
// video element does not tell a clip's own rate.
const CLIP_FPS = 25;

// Pictures decoded ahead of the one the engine takes.
const AHEAD = 4;
const PICTURES = new Set(["picture", "pixels", "bitmap"]);

// Picture files by their first bytes.
const SIGNATURES = [
  ["image/png", [0x89, 0x50, 0x4e, 0x47]],
  ["image/jpeg", [0xff, 0xd8, 0xff]],
  ["image/gif", [0x47, 0x49, 0x46, 0x38]],
  ["image/bmp", [0x42, 0x4d]],
  ["image/webp", [0x52, 0x49, 0x46, 0x46]],
];

function abortError() {
  return new DOMException("The GIF was cancelled.", "AbortError");
}

// One worker and its calls; a failure of the worker itself fails every call.
class Engine {
  constructor(onProgress) {
    this.calls = new Map();
    this.next = 0;
    this.broken = null;
    this.worker = new Worker(WORKER_URL, { type: "module" });
    this.worker.onmessage = ({ data }) => {
      if (data.progress) {
        if (onProgress) onProgress(data.progress);
        return;
      }
      const call = this.calls.get(data.id);
      if (!call) return;
      this.calls.delete(data.id);
      if ("error" in data) call.reject(new Error(data.error));
      else call.resolve(data.value);
    };
    this.worker.onerror = (event) => {
      event.preventDefault();
      this.stop(new Error("the engine could not start: " + (event.message || "its worker failed to load")));
    };
  }

  call(op, args = {}, transfer = []) {
    if (this.broken) return Promise.reject(this.broken);
    const id = this.next++;
    return new Promise((resolve, reject) => {
      this.calls.set(id, { resolve, reject });
      this.worker.postMessage({ id, op, ...args }, transfer);
    });
  }

  stop(reason) {
    if (this.broken) return;
    this.broken = reason;
    this.worker.terminate();
    for (const call of this.calls.values()) call.reject(reason);
    this.calls.clear();
  }
}

function describe(source, index) {
  return source && typeof source.name === "string" && source.name ? source.name : "source " + (index + 1);
}

// A picture file's type from its first bytes; "" for anything else.
function pictureType(head) {
  for (const [type, signature] of SIGNATURES) {
    if (signature.every((b, i) => head[i] === b)) {
      return type === "image/webp" && String.fromCharCode(...head.subarray(8, 12)) !== "WEBP" ? "" : type;
    }
  }
  return "";
}

// Whether a picture file holds more than one frame: an animated PNG has an
// acTL chunk before its first IDAT, an animated WebP a flag in its extended
// header; a GIF is asked of the browser's image decoder.
async function animated(blob, type, head) {
  if (type === "image/png") {
    for (let at = 8; ; ) {
      if (at + 8 > head.length) {
        // Chunks before the pixels (colour profiles, texts) can be long.
        if (at + 8 > blob.size) return false;
        head = new Uint8Array(await blob.slice(0, at + (1 << 16)).arrayBuffer());
        if (at + 8 > head.length) return false;
      }
      const kind = String.fromCharCode(...head.subarray(at + 4, at + 8));
      if (kind === "acTL") return true;
      if (kind === "IDAT" || kind === "IEND") return false;
      at += 12 + new DataView(head.buffer, head.byteOffset).getUint32(at);
    }
  }
  if (type === "image/webp") return String.fromCharCode(...head.subarray(12, 16)) === "VP8X" && (head[20] & 2) !== 0;
  if (type !== "image/gif" || typeof ImageDecoder === "undefined") return false;
  const decoder = new ImageDecoder({ data: blob.stream(), type });
  try {
    await decoder.tracks.ready;
    await decoder.completed;
    return decoder.tracks.selectedTrack !== null && decoder.tracks.selectedTrack.frameCount > 1;
  } catch {
    return false;
  } finally {
    decoder.close();
  }
}

// What each source is, with what it needs to give its frames. A file is
// known by its content: names and types can be wrong or missing.
async function classify(source, index) {
  const name = describe(source, index);
  if (source instanceof Blob) {
    const head = new Uint8Array(await source.slice(0, 4096).arrayBuffer());
    const type = pictureType(head);
    if (!type) return { kind: "clip", name, blob: source };
    const typed = type === source.type ? source : new Blob([source], { type });
    return { kind: (await animated(typed, type, head)) ? "animation" : "picture", name, blob: typed };
  }
  if (typeof ImageData !== "undefined" && source instanceof ImageData) return { kind: "pixels", name, pixels: source };
  if (
    (typeof ImageBitmap !== "undefined" && source instanceof ImageBitmap) ||
    (typeof HTMLCanvasElement !== "undefined" && source instanceof HTMLCanvasElement) ||
    (typeof OffscreenCanvas !== "undefined" && source instanceof OffscreenCanvas)
  ) {
    return { kind: "bitmap", name, image: source };
  }
  throw new TypeError(name + ": not a File, Blob, ImageData, ImageBitmap or canvas");
}

// A picture's frame as the worker takes it: an ImageBitmap (moved to the
// worker) or ImageData (copied).
async function pictureImage(input) {
  if (input.kind === "pixels") return { image: input.pixels, transfer: [] };
  let bitmap;
  try {
    const from = input.kind === "bitmap" ? input.image : input.blob;
    // Pixels as the file holds them: no colour management, straight alpha,
    // no turning by the picture's orientation tag (as the command does).
    bitmap = await createImageBitmap(from, {
      colorSpaceConversion: "none",
      premultiplyAlpha: "none",
      imageOrientation: "none",
    }).catch(() => createImageBitmap(from, { colorSpaceConversion: "none", premultiplyAlpha: "none" }));
  } catch (e) {
    throw new Error(input.name + ": the browser cannot read this file as a picture" + (e && e.message ? " (" + e.message + ")" : ""));
  }
  return { image: bitmap, transfer: [bitmap] };
}

function once(target, event, failEvent) {
  return new Promise((resolve, reject) => {
    const done = () => {
      target.removeEventListener(event, done);
      if (failEvent) target.removeEventListener(failEvent, failed);
      resolve();
    };
    const failed = () => {
      target.removeEventListener(event, done);
      target.removeEventListener(failEvent, failed);
      reject(new Error("the browser cannot play it"));
    };
    target.addEventListener(event, done);
    if (failEvent) target.addEventListener(failEvent, failed);
  });
}

// The picture a video shows once it has one: a seek can end before the
// frame at its time is decoded, most of all on a busy machine.
async function shownFrame(video, name, t) {
  const HAVE_CURRENT_DATA = 2;
  for (let waited = 0; ; waited += 10) {
    if (video.readyState >= HAVE_CURRENT_DATA) {
      try {
        return await createImageBitmap(video);
      } catch (e) {
        if (waited >= 10000) throw e;
      }
    }
    if (waited >= 10000) throw new Error(name + ": the browser gave no picture at " + t.toFixed(3) + " s");
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

// A clip's frames at the sampling rate, each with its time in microseconds,
// from the page's own video decoding; then { end } in microseconds.
async function* clipFrames(input, options) {
  const video = document.createElement("video");
  const url = URL.createObjectURL(input.blob);
  video.muted = true;
  video.preload = "auto";
  video.playsInline = true;
  try {
    video.src = url;
    try {
      await once(video, "loadeddata", "error");
    } catch {
      const code = video.error ? video.error.code : 0;
      const why = code === 4 ? "not a picture or a clip this browser can read"
        : code === 3 ? "its video could not be decoded"
        : "it could not be read";
      throw new Error(input.name + ": the browser cannot read this file (" + why + ")");
    }
    const rate = options.fps || CLIP_FPS;
    const length = Number.isFinite(video.duration) ? video.duration : 0;
    const from = options.start || 0;
    const until = options.duration !== undefined ? Math.min(length, from + options.duration) : length;
    yield { expect: Math.max(0, Math.ceil((until - from) * rate)) };
    for (let k = 0; ; ++k) {
      const t = from + k / rate;
      if (t >= until) break;
      if (Math.abs(video.currentTime - t) > 1e-6 || k === 0) {
        video.currentTime = t;
        await once(video, "seeked", "error");
      }
      yield { image: await shownFrame(video, input.name, t), micros: Math.round(t * 1e6) };
    }
    yield { end: Math.round(until * 1e6) };
  } finally {
    video.removeAttribute("src");
    video.load();
    URL.revokeObjectURL(url);
  }
}

// An animated picture's frames, each with its time, from the browser's image decoder.
async function* animationFramesOf(input) {
  const decoder = new ImageDecoder({
    data: input.blob.stream(),
    type: input.blob.type,
    colorSpaceConversion: "none",
    premultiplyAlpha: "none",
  });
  try {
    await decoder.tracks.ready;
    await decoder.completed;
    const count = decoder.tracks.selectedTrack.frameCount;
    let micros = 0;
    for (let i = 0; i < count; ++i) {
      const { image } = await decoder.decode({ frameIndex: i, completeFramesOnly: true });
      const bitmap = await createImageBitmap(image);
      const duration = image.duration || 0;
      image.close();
      yield { image: bitmap, micros };
      micros += duration;
    }
    yield { end: micros };
  } catch (e) {
    throw new Error(input.name + ": the browser cannot read its frames (" + (e && e.message ? e.message : e) + ")");
  } finally {
    decoder.close();
  }
}

function hexColour(value) {
  if (typeof value === "number") return value;
  const match = /^#?([0-9a-f]{6})$/i.exec(String(value));
  if (!match) throw new RangeError("background: a colour is #rrggbb, not " + value);
  return parseInt(match[1], 16);
}

// The options as the worker takes them, times read as the command reads them.
async function engineOptions(engine, options) {
  for (const key of Object.keys(options)) {
    if (!OPTIONS.has(key)) throw new TypeError("unknown option " + key + "; the options are " + [...OPTIONS].join(", "));
  }
  const o = { ...options };
  delete o.signal;
  o.palette = o.palette === undefined ? "all" : o.palette;
  const modes = await engine.call("paletteModes");
  if (!modes.includes(o.palette)) {
    throw new RangeError("palette: one of " + modes.join(", ") + ", not " + o.palette);
  }
  if (o.loop === null) o.loop = -1;
  if (o.fit !== undefined && o.fit !== null) {
    const fit = Array.isArray(o.fit) ? o.fit.map(String) : String(o.fit).split(/x/i);
    if (fit.length !== 2) throw new RangeError("fit: WIDTHxHEIGHT, not " + o.fit);
    [o.fit_width, o.fit_height] = fit.map(Number);
  }
  delete o.fit;
  if (o.background !== undefined && o.background !== null) o.background = hexColour(o.background);
  else o.background = -1;
  for (const key of ["start", "duration"]) {
    if (typeof o[key] === "string") o[key] = await engine.call("seconds", { text: o[key] });
  }
  return o;
}

/**
 * Makes one animated GIF of the sources, in order.
 * @param {Array<Blob|File|ImageData|ImageBitmap|HTMLCanvasElement|OffscreenCanvas>} sources
 *   pictures, clips and animated pictures (frames with their own times), mixed
 * @param {object} options the Python module's keywords, and `signal` (an AbortSignal) to cancel
 * @param {function({done: number, total: number}): void} [onProgress] work done out of work: each
 *   frame counts once for each pass over it (two with the palettes "all" and "first"); a clip's
 *   frames are estimated from its length until they are read
 * @returns {Promise<Uint8Array>} the GIF file
 */
export async function createGif(sources, options = {}, onProgress) {
  if (!Array.isArray(sources) || sources.length === 0) throw new TypeError("createGif needs a list of sources");
  const signal = options.signal;
  if (signal && signal.aborted) throw abortError();
  let done = 0, total = 0, classic = false;
  const report = () => {
    if (onProgress) onProgress({ done: Math.min(done, total), total });
  };
  const engine = new Engine((p) => {
    // The classic palette makes every frame at the end, after taking them all.
    if (classic) {
      done = sources.length + p.picture;
      report();
    }
  });
  const cancel = () => engine.stop(abortError());
  if (signal) signal.addEventListener("abort", cancel);
  try {
    const classified = Promise.all(sources.map(classify));
    classified.catch(() => {});
    const o = await engineOptions(engine, options);
    classic = o.palette === "first";
    const inputs = await classified;
    for (const input of inputs) {
      if (classic && (input.kind === "clip" || input.kind === "animation")) {
        throw new Error(input.name + ': the palette "first" takes still pictures only; clips need the palette "all" or "frame"');
      }
    }
    const { countsFirst } = await engine.call("begin", o);
    // The classic palette takes every picture, then makes every frame.
    const passes = countsFirst || classic ? 2 : 1;
    const expected = inputs.map((input) => (input.kind === "clip" || input.kind === "animation" ? 0 : 1));
    total = passes * expected.reduce((a, b) => a + b, 0);
    await engine.call("total", { frames: expected.reduce((a, b) => a + b, 0) });
    // Frames sent and not yet taken by the engine.
    const calls = [];
    const settle = async (most) => {
      while (calls.length > most) await calls.shift();
    };
    for (let pass = 0; pass < (countsFirst ? 2 : 1); ++pass) {
      const counting = countsFirst && pass === 0;
      let reading = !countsFirst || counting;
      // The browser decodes a few pictures ahead, on its own threads, while
      // the engine works on the one before.
      const ahead = new Map();
      const decoded = (i) => {
        for (let j = i; j < inputs.length && j < i + AHEAD; ++j) {
          if (!ahead.has(j) && PICTURES.has(inputs[j].kind)) {
            const promise = pictureImage(inputs[j]);
            promise.catch(() => {});
            ahead.set(j, promise);
          }
        }
        const promise = ahead.get(i);
        ahead.delete(i);
        return promise;
      };
      await settle(0);
      if (countsFirst && pass === 1) await engine.call("seal");
      for (let i = 0; i < inputs.length; ++i) {
        const input = inputs[i];
        if (input.kind === "clip" || input.kind === "animation") {
          await settle(0);
          const minHundredths = input.kind === "animation" && !o.fps ? 0 : 2;
          await engine.call("clipBegin", { minHundredths });
          const frames = input.kind === "clip" ? clipFrames(input, o) : animationFramesOf(input);
          for await (const f of frames) {
            if ("expect" in f) {
              total += f.expect;
              continue;
            }
            if ("end" in f) {
              await engine.call("clipEnd", { micros: f.end });
              break;
            }
            const over = await engine.call("clipFrame", { image: f.image, micros: f.micros }, [f.image]);
            ++done;
            total = Math.max(total, done);
            report();
            if (over) {
              await engine.call("clipEnd", { micros: f.micros });
              break;
            }
          }
          continue;
        }
        // A picture the counting pass kept is not read again; kept ones come first.
        if (!counting && countsFirst && !reading) {
          await settle(0);
          if (await engine.call("nextKept")) {
            await engine.call("frame", {});
            ++done;
            report();
            continue;
          }
          reading = true;
        }
        const { image, transfer } = await decoded(i);
        // The next picture goes out while the engine works on this one.
        await settle(1);
        const call = engine.call("frame", { image }, transfer).then(() => {
          ++done;
          report();
        });
        call.catch(() => {});  // awaited in settle
        calls.push(call);
      }
    }
    await settle(0);
    const gif = await engine.call("finish");
    done = total;
    report();
    return gif;
  } catch (e) {
    if (signal && signal.aborted) throw abortError();
    throw e;
  } finally {
    if (signal) signal.removeEventListener("abort", cancel);
    engine.stop(new Error("finished"));
  }
}

/**
 * Reads a GIF: what `zoetra info --json` says of it, and its frames as a viewer shows them.
 * @param {Uint8Array|ArrayBuffer|Blob} bytes the file
 * @param {string} [name] the name its description gives
 * @returns {Promise<{info: object, frames: ImageData[]}>}
 */
export async function readGif(bytes, name = "animation.gif") {
  if (bytes instanceof Blob) bytes = new Uint8Array(await bytes.arrayBuffer());
  if (bytes instanceof ArrayBuffer) bytes = new Uint8Array(bytes);
  if (!(bytes instanceof Uint8Array)) throw new TypeError("readGif needs the file's bytes");
  const engine = new Engine(null);
  try {
    return await engine.call("readGif", { bytes, name });
  } finally {
    engine.stop(new Error("finished"));
  }
}
