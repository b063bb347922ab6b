// Calls of the browser module zoetra.js for the web tests, each answering in
// text. The page that loads this script (after browser_frames.js, for
// toBase64) sits in a copy of web/dist, beside the pictures it is given.
"use strict";

const zoetraModule = import("./zoetra.js");

// Files as a person's picks give them: bytes and a name, no type.
async function filesNamed(names) {
  return Promise.all(names.map(async (name) => new File([await (await fetch(name)).arrayBuffer()], name)));
}

function fromBase64(text) {
  return Uint8Array.from(atob(text), (c) => c.charCodeAt(0));
}

async function makeGif(names, options) {
  const { createGif } = await zoetraModule;
  try {
    return "gif " + toBase64(await createGif(await filesNamed(names), options));
  } catch (e) {
    return "failed " + e.name + ": " + e.message;
  }
}

// Cancels when the first frame is done; says how the call ended.
async function cancelAtFirstFrame(names, options) {
  const { createGif } = await zoetraModule;
  const controller = new AbortController();
  let reports = 0;
  try {
    await createGif(await filesNamed(names), { ...options, signal: controller.signal }, () => {
      if (++reports === 1) controller.abort();
    });
    return "made after " + reports + " reports";
  } catch (e) {
    return e.name + " after " + reports + " report" + (reports === 1 ? "" : "s");
  }
}

// readGif's view of a file: whether its info is what `zoetra info --json`
// printed (given as base64), then each composed frame as RGBA base64.
async function readBack(gifBase64, name, infoJsonBase64) {
  const { readGif } = await zoetraModule;
  const { info, frames } = await readGif(fromBase64(gifBase64), name);
  const want = JSON.parse(new TextDecoder().decode(fromBase64(infoJsonBase64)));
  const lines = [JSON.stringify(info) === JSON.stringify(want) ? "same info" : "info " + JSON.stringify(info)];
  for (const f of frames) lines.push(f.width + " " + f.height + " " + toBase64(new Uint8Array(f.data.buffer)));
  return lines.join("\n");
}

// A clip's GIF as readGif describes it: frames and duration.
async function clipSummary(names, options) {
  const { createGif, readGif } = await zoetraModule;
  try {
    const { info } = await readGif(await createGif(await filesNamed(names), options));
    return info.frame_count + " frames, " + info.duration_ms + " ms, " + info.width + "x" + info.height;
  } catch (e) {
    return "failed " + e.message;
  }
}

// The page after its button was pressed: the state it settles in, its
// message, the preview and the download link, and the downloaded file.
async function pageResult() {
  for (;;) {
    const state = document.body.dataset.state;
    if (state === "done" || state === "error") break;
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
  const preview = document.getElementById("preview"), link = document.getElementById("download");
  if (document.body.dataset.state !== "done") return "error " + document.getElementById("message").textContent;
  if (!preview.complete) await new Promise((resolve) => preview.addEventListener("load", resolve, { once: true }));
  const bytes = new Uint8Array(await (await fetch(link.href)).arrayBuffer());
  return [
    "preview " + preview.naturalWidth + "x" + preview.naturalHeight + (preview.src === link.href ? " of the download" : " " + preview.src),
    "download " + link.getAttribute("download") + " | " + link.textContent.trim(),
    toBase64(bytes),
  ].join("\n");
}

// How createGif's progress went: "rises to N" when every report has done
// <= total, neither falls, and the last has done == total == N.
async function progressOf(names, options) {
  const { createGif } = await zoetraModule;
  const seen = [];
  await createGif(await filesNamed(names), options, (p) => seen.push(p));
  for (let i = 0; i < seen.length; ++i) {
    const p = seen[i], before = seen[i - 1] || { done: 0, total: 0 };
    if (p.done > p.total || p.done < before.done || p.total < before.total) {
      return "report " + i + " is " + p.done + "/" + p.total + " after " + before.done + "/" + before.total;
    }
  }
  const last = seen[seen.length - 1];
  return last && last.done === last.total ? "rises to " + last.total : "ends at " + JSON.stringify(last);
}
