import { createGif } from "./zoetra.js";

const $ = (id) => document.getElementById(id);
const form = $("settings"), input = $("files"), drop = $("drop"), list = $("list");
const make = $("make"), cancel = $("cancel"), progress = $("progress");
const progressText = $("progress-text"), working = $("working"), message = $("message");
const quality = $("quality"), qualityValue = $("quality-value");
const result = $("result"), preview = $("preview"), download = $("download");

const byName = new Intl.Collator(undefined, { numeric: true }).compare;
let items = [];          // { file, url, li }, in frame order
let dragged = null;      // the item being reordered by the mouse
let controller = null;   // set while a GIF is being made
let resultUrl = null;

function setState(state, text = "") {
  document.body.dataset.state = state;
  message.textContent = text;
}

// The engine knows a file by its content, so a file the browser gives no type
// is tried too; only files typed as something else are left out.
function isMedia(file) {
  return /^(image|video)\//.test(file.type) || file.type === "" || file.type === "application/octet-stream";
}

// Each pick (or drop) is sorted by name on its own and appended after what is
// already listed, so a second pick never reshuffles frames already placed.
function addFiles(fileList) {
  const files = [...fileList];
  const skipped = files.filter((f) => !isMedia(f));
  for (const file of files.filter(isMedia).sort((a, b) => byName(a.name, b.name))) {
    const item = { file, url: URL.createObjectURL(file) };
    item.li = makeRow(item);
    items.push(item);
  }
  render();
  if (skipped.length) {
    setState("error", `Skipped ${skipped.map((f) => f.name).join(", ")}: not a picture or a clip.`);
  }
}

function makeRow(item) {
  const li = document.createElement("li");
  li.draggable = true;
  let thumb;
  if (item.file.type.startsWith("video/")) {
    thumb = document.createElement("video");
    thumb.muted = true;
    thumb.preload = "metadata";
    thumb.src = item.url + "#t=0.1";  // a frame past the start, often black
  } else {
    thumb = document.createElement("img");
    thumb.alt = "";
    thumb.decoding = "async";
    thumb.loading = "lazy";  // a long list decodes only what is seen, not every picture at once
    thumb.src = item.url;
  }
  thumb.className = "thumb";
  // The engine reads files through the browser, so one the browser cannot
  // show would fail the GIF: say so now rather than after Make.
  thumb.addEventListener("error", () => {
    thumb.replaceWith(label("?"));
    item.unreadable = true;
    li.classList.add("unreadable");
    name.append(" — this browser cannot read it");
    if (!controller) setState("error", unreadableText());
  }, { once: true });
  const name = document.createElement("span");
  name.className = "name";
  name.textContent = item.file.name;
  const tools = document.createElement("span");
  tools.className = "tools";
  for (const [act, text, title] of [["up", "↑", "Move up"], ["down", "↓", "Move down"], ["remove", "✕", "Remove"]]) {
    const b = document.createElement("button");
    b.type = "button";
    b.dataset.act = act;
    b.textContent = text;
    b.title = title;
    tools.append(b);
  }
  const text = document.createElement("span");
  text.className = "text";
  text.append(name, tools);
  li.append(thumb, text);
  li.addEventListener("dragstart", (e) => {
    dragged = item;
    e.dataTransfer.effectAllowed = "move";
    e.dataTransfer.setData("text/plain", item.file.name);
    li.classList.add("dragging");
  });
  li.addEventListener("dragend", () => {
    dragged = null;
    li.classList.remove("dragging");
  });
  return li;
}

function unreadableText() {
  const names = items.filter((it) => it.unreadable).map((it) => it.file.name);
  if (names.length === 0) return "";
  return `This browser cannot read ${names.join(", ")} as a picture or a clip. Remove ${names.length > 1 ? "them" : "it"} to make the GIF.`;
}

function label(text) {
  const s = document.createElement("span");
  s.className = "thumb label";
  s.textContent = text;
  return s;
}

function render() {
  items.forEach((item, i) => {
    const name = item.file.name;
    const [up, down, remove] = item.li.querySelectorAll("button");
    up.disabled = i === 0;
    down.disabled = i === items.length - 1;
    up.setAttribute("aria-label", `Move ${name} up`);
    down.setAttribute("aria-label", `Move ${name} down`);
    remove.setAttribute("aria-label", `Remove ${name}`);
    if (list.children[i] !== item.li) list.insertBefore(item.li, list.children[i] || null);
  });
  make.disabled = controller !== null || items.length === 0;
}

function move(from, to) {
  const [item] = items.splice(from, 1);
  items.splice(to, 0, item);
  render();
}

list.addEventListener("click", (e) => {
  const button = e.target.closest("button[data-act]");
  if (!button) return;
  const i = items.findIndex((it) => it.li.contains(button));
  const act = button.dataset.act;
  if (act === "remove") {
    const [item] = items.splice(i, 1);
    item.li.remove();
    URL.revokeObjectURL(item.url);
    if (item.unreadable && !controller) {
      const text = unreadableText();
      setState(text ? "error" : "idle", text);
    }
    render();
    // Keep the keyboard where it was: on the next row, else the previous, else the picker.
    const next = items[Math.min(i, items.length - 1)];
    (next ? next.li.querySelector('[data-act="remove"]') : input).focus();
    return;
  }
  move(i, act === "up" ? i - 1 : i + 1);
  // Moving the row took the focus away; give it back, or to its twin at either end.
  (button.disabled ? button.parentElement.querySelector("button:not(:disabled)") : button).focus();
});

list.addEventListener("dragover", (e) => {
  if (!dragged) return;
  e.preventDefault();
  e.dataTransfer.dropEffect = "move";
});

list.addEventListener("drop", (e) => {
  if (!dragged) return;
  e.preventDefault();
  const from = items.indexOf(dragged);
  const li = e.target.closest("li");
  let to = items.length - 1;
  if (li) {
    const r = li.getBoundingClientRect();
    const target = items.findIndex((it) => it.li === li);
    const before = target + (e.clientY > r.top + r.height / 2 ? 1 : 0);
    to = before - (from < before ? 1 : 0);
  }
  move(from, Math.max(0, Math.min(to, items.length - 1)));
});

input.addEventListener("change", () => {
  addFiles(input.files);
  input.value = "";  // picking the same files again still fires change
});

for (const type of ["dragenter", "dragover"]) {
  drop.addEventListener(type, (e) => {
    if (dragged || !e.dataTransfer.types.includes("Files")) return;
    e.preventDefault();
    drop.classList.add("over");
  });
}
drop.addEventListener("dragleave", (e) => {
  if (!drop.contains(e.relatedTarget)) drop.classList.remove("over");
});
drop.addEventListener("drop", (e) => {
  if (dragged) return;
  e.preventDefault();
  drop.classList.remove("over");
  addFiles(e.dataTransfer.files);
});
// A file dropped beside the zone would otherwise replace the page.
for (const type of ["dragover", "drop"]) {
  window.addEventListener(type, (e) => {
    if (!dragged && e.dataTransfer.types.includes("Files")) e.preventDefault();
  });
}

quality.addEventListener("input", () => { qualityValue.value = quality.value; });

function options() {
  const o = {
    fps: Number($("fps").value),
    palette: $("palette").value,
    quality: Number(quality.value),
    loop: Number($("loop").value),
    optimize: $("optimize").checked,
  };
  const width = $("width").value.trim();
  if (width !== "") o.width = Number(width);
  return o;
}

function sizeText(bytes) {
  if (bytes < 1000) return `${bytes} bytes`;
  if (bytes < 1e6) return `${(bytes / 1e3).toFixed(1)} KB`;
  return `${(bytes / 1e6).toFixed(1)} MB`;
}

// The counts are the engine's steps, not frames (pictures may be read twice),
// and a clip's total grows with it: a share is shown only while the total is
// ahead of what is done, else the bar just moves.
function showProgress({ done, total }) {
  if (total > done) {
    progress.max = total;
    progress.value = done;
    progressText.textContent = `${Math.floor((100 * done) / total)}%`;
  } else {
    progress.removeAttribute("value");
    progressText.textContent = "";
  }
}

function setWorking(on) {
  working.hidden = !on;
  cancel.hidden = !on;
  render();
}

form.addEventListener("submit", async (e) => {
  e.preventDefault();
  if (controller || items.length === 0) return;
  if (items.some((it) => it.unreadable)) {
    setState("error", unreadableText());
    return;
  }
  controller = new AbortController();
  const sources = items.map((it) => it.file);
  setState("working");
  showProgress({ done: 0, total: 0 });
  setWorking(true);
  if (document.activeElement === make || document.activeElement === document.body) cancel.focus();
  try {
    const bytes = await createGif(sources, { ...options(), signal: controller.signal }, showProgress);
    if (resultUrl) URL.revokeObjectURL(resultUrl);
    resultUrl = URL.createObjectURL(new Blob([bytes], { type: "image/gif" }));
    preview.src = resultUrl;
    download.href = resultUrl;
    download.textContent = `Download animation.gif (${sizeText(bytes.length)})`;
    result.hidden = false;
    setState("done");
    result.scrollIntoView({ block: "nearest" });
  } catch (err) {
    if (err && err.name === "AbortError") setState("cancelled", "Cancelled.");
    else setState("error", err && err.message ? err.message : String(err));
  } finally {
    controller = null;
    const keyboardOnCancel = document.activeElement === cancel;
    setWorking(false);
    if (keyboardOnCancel) make.focus();
  }
});

cancel.addEventListener("click", () => {
  if (controller) controller.abort();
});

render();
