// The worker that runs the engine, so that the page never waits for it. It
// answers the calls of zoetra.js one at a time: { id, op, ... } gets
// { id, value } or { id, error }; progress goes out as { progress }.
import loadEngine from "./zoetra-engine.js";

const engineReady = loadEngine();
let engine = null;
// The file made so far, taken out of the engine's memory piece by piece.
let pieces = [];

// The engine's stages; only a frame made is worth telling the page.
const FRAME_MADE = 3;
globalThis.zoetraYield = (stage, picture, pictures) => {
  if (stage === FRAME_MADE) postMessage({ progress: { picture, pictures } });
};

function fail() {
  throw new Error(engine.UTF8ToString(engine._zw_error()));
}

function check(status) {
  if (status < 0) fail();
  return status;
}

function takeMade() {
  const at = engine._zw_take();
  const size = engine._zw_taken();
  if (size > 0) pieces.push(engine.HEAPU8.slice(at, at + size));
}

// The picture's pixels into the engine's input room: [width, height, layout]
// with layout 1 RGBA or 2 BGRA, straight (not premultiplied) alpha.
async function putPixels(image) {
  if (image instanceof ImageBitmap) {
    // A VideoFrame copies the bitmap's pixels as decoded; a canvas would
    // premultiply them and lose half-transparent colours.
    const frame = new VideoFrame(image, { timestamp: 0 });
    try {
      let format = frame.format;
      let options = {};
      if (!/^(RGB|BGR)[AX]$/.test(format || "")) {
        options = { format: "RGBA" };
        format = "RGBA";
      }
      const width = frame.visibleRect.width, height = frame.visibleRect.height;
      const size = width * height * 4;
      const at = engine._zw_input(size);
      if (!at) fail();
      const room = engine.HEAPU8.subarray(at, at + size);
      await frame.copyTo(room, options);
      if (format.endsWith("X")) {
        for (let i = 3; i < size; i += 4) room[i] = 255;
      }
      return [width, height, format.startsWith("BGR") ? 2 : 1];
    } finally {
      frame.close();
      image.close();
    }
  }
  // ImageData, or { data, width, height } of RGBA bytes.
  const { data, width, height } = image;
  const size = width * height * 4;
  if (!data || data.length < size) throw new Error("the pixels are fewer than width x height x 4 bytes");
  const at = engine._zw_input(size);
  if (!at) fail();
  engine.HEAPU8.set(data.subarray(0, size), at);
  return [width, height, 1];
}

// A text in the engine's text room; its address.
function textIn(text) {
  const size = engine.lengthBytesUTF8(text) + 1;
  const at = engine._zw_text(size);
  engine.stringToUTF8(text, at, size);
  return at;
}

function number(value) {
  return value === undefined || value === null ? NaN : Number(value);
}

const ops = {
  begin(o) {
    pieces = [];
    check(
      engine._zw_begin(
        textIn(o.palette), o.optimize ? 1 : 0, number(o.quality), number(o.delay_ms), number(o.fps),
        number(o.loop), number(o.width), number(o.height), number(o.fit_width), number(o.fit_height),
        number(o.background), number(o.start), number(o.duration)));
    return { countsFirst: check(engine._zw_counts_first()) === 1 };
  },
  total({ frames }) {
    check(engine._zw_total(frames));
  },
  nextKept() {
    return check(engine._zw_next_kept()) === 1;
  },
  async frame({ image, delay_ms }) {
    const [width, height, layout] = image ? await putPixels(image) : [0, 0, 1];
    check(engine._zw_frame(width, height, layout, number(delay_ms)));
    takeMade();
  },
  seal() {
    check(engine._zw_seal());
  },
  clipBegin({ minHundredths }) {
    check(engine._zw_clip_begin(minHundredths));
  },
  // Returns true once no later frame of the clip can show.
  async clipFrame({ image, micros }) {
    const [width, height, layout] = await putPixels(image);
    check(engine._zw_clip_frame(width, height, layout, micros));
    takeMade();
    return check(engine._zw_clip_done()) === 1;
  },
  clipEnd({ micros }) {
    check(engine._zw_clip_end(micros));
    takeMade();
  },
  finish() {
    check(engine._zw_finish());
    takeMade();
    const size = pieces.reduce((sum, p) => sum + p.length, 0);
    const gif = new Uint8Array(size);
    let at = 0;
    for (const p of pieces) {
      gif.set(p, at);
      at += p.length;
    }
    pieces = [];
    engine._zw_end();
    return gif;
  },
  paletteModes() {
    return engine.UTF8ToString(engine._zw_palette_modes()).split(",");
  },
  seconds({ text }) {
    const seconds = engine._zw_seconds(textIn(text));
    if (Number.isNaN(seconds)) fail();
    return seconds;
  },
  readGif({ bytes, name }) {
    const at = engine._zw_input(bytes.length);
    if (!at) fail();
    engine.HEAPU8.set(bytes, at);
    const info = engine._zw_gif_open(textIn(name));
    if (!info) fail();
    const result = { info: JSON.parse(engine.UTF8ToString(info)), frames: [] };
    const width = engine._zw_gif_width(), height = engine._zw_gif_height();
    for (;;) {
      const pixels = engine._zw_gif_next();
      if (!pixels) break;
      const rgba = new Uint8ClampedArray(engine.HEAPU8.buffer.slice(pixels, pixels + width * height * 4));
      result.frames.push(new ImageData(rgba, width, height));
    }
    const problem = engine.UTF8ToString(engine._zw_error());
    engine._zw_gif_close();
    if (problem) throw new Error(problem);
    return result;
  },
};

// One call at a time, in order: a picture's copy into the input room is
// asynchronous, and the next picture must not take the room before it is used.
let queue = Promise.resolve();
onmessage = ({ data }) => {
  queue = queue.then(() => answer(data));
};

async function answer(data) {
  const { id, op } = data;
  try {
    engine = await engineReady;
    const value = await ops[op](data);
    const transfer = value instanceof Uint8Array ? [value.buffer] : [];
    if (value && value.frames) transfer.push(...value.frames.map((f) => f.data.buffer));
    postMessage({ id, value }, transfer);
  } catch (e) {
    postMessage({ id, error: String(e && e.message ? e.message : e) });
  }
}
