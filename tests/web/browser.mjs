// A headless chromium for the tests, driven by JSON lines on standard input; each line gets one
// JSON line back on standard output. Ends when standard input closes.
//
//   {"op":"open","page":"a","url":"http://...","width":640,"height":480}
//   {"op":"eval","page":"a","js":"expression"}            -> {"ok":true,"value":...}
//   {"op":"wait","page":"a","js":"expression","ms":20000}   waits until the expression is truthy
//   {"op":"shot","page":"a","file":"/tmp/x.png"}
//   {"op":"reload","page":"a"}  {"op":"close","page":"a"}
//   {"op":"click","page":"a","selector":"#pick"}
//   {"op":"drag","page":"a","path":[[x,y],...]}            press at the first point, release at the last
//   {"op":"log","page":"a"}     -> console errors, page errors and failed requests so far
//   {"op":"requests","page":"a","match":"KmlServer"}        -> URLs of requests seen
//   {"op":"pending","page":"a"}                             -> URLs of requests not yet answered
//
// Needs playwright-core (web/node_modules) and a chromium; CHROMIUM names it.
import { createRequire } from "node:module";
import { createInterface } from "node:readline";
import path from "node:path";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const require = createRequire(path.join(here, "..", "..", "web", "package.json"));
const { chromium } = require("playwright-core");

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--ignore-gpu-blocklist",
    "--no-sandbox", "--disable-dev-shm-usage"],
});
const pages = new Map();

async function open(cmd) {
  const context = await browser.newContext({
    viewport: { width: cmd.width || 640, height: cmd.height || 480 },
  });
  const page = await context.newPage();
  const entry = { page, context, log: [], requests: [], pending: new Set() };
  page.on("console", (m) => { if (m.type() === "error") entry.log.push("console: " + m.text()); });
  page.on("pageerror", (e) => entry.log.push("pageerror: " + e.message));
  page.on("requestfailed", (r) => {
    // A long poll cut by a reload or close is not a failure of the page.
    if (!r.url().includes("/api/")) entry.log.push("failed: " + r.url() + " " + r.failure()?.errorText);
  });
  page.on("request", (r) => { entry.requests.push(r.url()); entry.pending.add(r); });
  page.on("requestfinished", (r) => entry.pending.delete(r));
  page.on("requestfailed", (r) => entry.pending.delete(r));
  pages.set(cmd.page, entry);
  await page.goto(cmd.url, { waitUntil: "load", timeout: 60000 });
  return true;
}

async function run(cmd) {
  if (cmd.op === "open") return open(cmd);
  const entry = pages.get(cmd.page);
  if (!entry) throw new Error("no page " + cmd.page);
  const { page } = entry;
  switch (cmd.op) {
    case "eval": return page.evaluate(cmd.js);
    case "wait":
      return (await page.waitForFunction(cmd.js, null, { timeout: cmd.ms || 30000, polling: 50 })).jsonValue();
    case "shot": await page.screenshot({ path: cmd.file }); return true;
    case "click": await page.click(cmd.selector); return true;
    case "drag": {
      const [first, ...rest] = cmd.path;
      await page.mouse.move(first[0], first[1]);
      await page.mouse.down();
      for (const [x, y] of rest) await page.mouse.move(x, y, { steps: 4 });
      await page.mouse.up();
      return true;
    }
    case "reload": await page.reload({ waitUntil: "load" }); return true;
    case "close": await entry.context.close(); pages.delete(cmd.page); return true;
    case "log": return entry.log;
    case "requests": return entry.requests.filter((u) => u.includes(cmd.match || ""));
    case "pending": return [...entry.pending].map((r) => r.url());
    default: throw new Error("unknown op " + cmd.op);
  }
}

const lines = createInterface({ input: process.stdin });
for await (const line of lines) {
  if (!line.trim()) continue;
  let reply;
  try {
    reply = { ok: true, value: await run(JSON.parse(line)) };
  } catch (e) {
    reply = { ok: false, error: String(e && e.message || e) };
  }
  process.stdout.write(JSON.stringify(reply) + "\n");
}
await browser.close();
