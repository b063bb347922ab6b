// The page against the command, paired: node bench/web_page.mjs SITE ZOETRA REPS PICTURE...
//
// Opens SITE/index.html (a copy of web/dist) in headless Chromium over its
// debugging pipe (no port), gives the pictures to its file input, presses
// "Make GIF" and times it until the download link is there; then times the
// command making the same file with the page's defaults on one thread. The
// two take turns, REPS times. Prints one line: the medians, their ratio and
// whether the bytes are the same.
import { spawn, spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";

const args = process.argv.slice(2);
if (args.length < 4 || !(Number(args[2]) > 0)) {
  console.error("usage: node bench/web_page.mjs SITE ZOETRA REPS PICTURE...");
  process.exit(2);
}
// Paths as given, from here: the browser and the file input take whole ones.
const [site, zoetra] = [resolve(args[0]), resolve(args[1])];
const reps = Number(args[2]);
const pictures = args.slice(3).map((p) => resolve(p));
const scratch = mkdtempSync(join(tmpdir(), "zoetra-web-bench-"));
const browser = spawn(
  "chromium",
  ["--headless", "--no-sandbox", "--disable-gpu", "--remote-debugging-pipe", "--allow-file-access-from-files",
   "--no-first-run", "--user-data-dir=" + join(scratch, "profile"), "about:blank"],
  { stdio: ["ignore", "ignore", "ignore", "pipe", "pipe"] });
const toBrowser = browser.stdio[3], fromBrowser = browser.stdio[4];

let buffer = "", next = 0;
const waiting = new Map(), events = [];
fromBrowser.on("data", (chunk) => {
  buffer += chunk.toString("utf8");
  for (let end; (end = buffer.indexOf("\0")) >= 0; buffer = buffer.slice(end + 1)) {
    const message = JSON.parse(buffer.slice(0, end));
    if (message.id !== undefined && waiting.has(message.id)) {
      waiting.get(message.id)(message);
      waiting.delete(message.id);
    } else {
      events.push(message);
    }
  }
});
function call(method, params = {}, sessionId) {
  const id = ++next;
  return new Promise((resolve, reject) => {
    waiting.set(id, (m) => (m.error ? reject(new Error(method + ": " + JSON.stringify(m.error))) : resolve(m.result)));
    toBrowser.write(JSON.stringify({ id, method, params, sessionId }) + "\0");
  });
}
async function loaded() {
  for (;;) {
    const i = events.findIndex((e) => e.method === "Page.loadEventFired");
    if (i >= 0) return events.splice(i, 1);
    await new Promise((r) => setTimeout(r, 10));
  }
}

const { targetId } = await call("Target.createTarget", { url: "about:blank" });
const { sessionId } = await call("Target.attachToTarget", { targetId, flatten: true });
await call("Page.enable", {}, sessionId);

async function pageOnce() {
  events.length = 0;
  await call("Page.navigate", { url: "file://" + join(site, "index.html") }, sessionId);
  await loaded();
  const { root } = await call("DOM.getDocument", {}, sessionId);
  const { nodeId } = await call("DOM.querySelector", { nodeId: root.nodeId, selector: "#files" }, sessionId);
  // The time runs from the files' choice to the download link, as a person waits.
  const started = performance.now();
  await call("DOM.setFileInputFiles", { nodeId, files: pictures }, sessionId);
  const { result } = await call("Runtime.evaluate", {
    expression: `new Promise((resolve) => {
      const make = document.getElementById("make");
      const tick = () => {
        const state = document.body.dataset.state;
        if (state === "done") resolve("done " + document.getElementById("download").href);
        else if (state === "error") resolve("error " + document.getElementById("message").textContent);
        else {
          if (!make.disabled && state !== "working") make.click();
          setTimeout(tick, 2);
        }
      };
      tick();
    })`,
    awaitPromise: true,
    returnByValue: true,
  }, sessionId);
  const ms = performance.now() - started;
  if (String(result.value).startsWith("error")) throw new Error(result.value);
  const href = String(result.value).split(" ")[1];
  const { result: bytes } = await call("Runtime.evaluate", {
    expression: `fetch("${href}").then((r) => r.arrayBuffer()).then((b) => { let s = ""; const u = new Uint8Array(b);
      for (let i = 0; i < u.length; i += 32768) s += String.fromCharCode(...u.subarray(i, i + 32768)); return btoa(s); })`,
    awaitPromise: true,
    returnByValue: true,
  }, sessionId);
  return { ms, sha: createHash("sha256").update(Buffer.from(bytes.value, "base64")).digest("hex") };
}

function commandOnce() {
  const out = join(scratch, "command.gif");
  const started = performance.now();
  const run = spawnSync(zoetra, ["create", "-q", "--threads", "1", "--fps", "10", "--optimize", "-o", out, ...pictures]);
  const ms = performance.now() - started;
  if (run.status !== 0) throw new Error("zoetra: " + run.stderr);
  return { ms, sha: createHash("sha256").update(readFileSync(out)).digest("hex") };
}

const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
await pageOnce();  // the first load compiles the engine; people pay that once too, but it is not the work
const page = [], command = [];
let same = true;
for (let r = 0; r < reps; ++r) {
  const p = await pageOnce(), c = commandOnce();
  page.push(p.ms), command.push(c.ms);
  same &&= p.sha === c.sha;
}
console.log(`page ${median(page).toFixed(0)} ms  command ${median(command).toFixed(0)} ms  ratio ${(median(page) / median(command)).toFixed(2)}  bytes ${same ? "same" : "DIFFERENT"}`);
const exited = new Promise((resolve) => browser.on("exit", resolve));
browser.kill("SIGKILL");
await exited;
rmSync(scratch, { recursive: true, force: true, maxRetries: 5 });
process.exit(0);
