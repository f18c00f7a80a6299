// Drives one browser (Debian's chromium or firefox-esr, headless, through puppeteer-core) with
// camera.html for tests/e2e/test_browsers.sh, one command a line on standard input, one reply
// line on standard output: tab-separated key=value fields.
//
//   node drive.mjs chromium|chromium-v4l2|firefox SCRATCH_DIR    (chromium-v4l2: no PipeWire camera)
//
//   (on start)     ready browser=VERSION                   or error=...
//   devices [MS]   cameras=LABEL;LABEL...                  the video inputs the page can see,
//                                                          waiting up to MS for a labelled one
//   open LABEL     label= width= height= fps=              one getUserMedia at 1280x720, 30 fps,
//                                                          once LABEL is listed (up to 10 s;
//                                                          Firefox: at once)
//   record MS      frames= presented= rate= G= g= grey_among= P= T= I= other= ... order=
//   frames N KIND  frames= pictures= grey_among= grey_before= T= other= max_gap_ms= ...
//                                                          the next N frames the track delivers,
//                                                          KIND the companion's (P or I)
//   after T        latency_ms= later_not_grey= ...         on the last recording: how long after
//                                                          T (wall clock ms) frames turned grey
//   quit
//
// Each launch gets a new, empty profile (--user-data-dir for Chromium; for Firefox a profile
// whose user.js puppeteer writes from the prefs below). Logs go to standard error, the
// browser's own output too with KOLV_BROWSER_DUMPIO=1. Runs on Node's main thread only.
import { spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";

import puppeteer from "puppeteer-core";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const BROWSERS = {
  chromium: {
    browser: "chrome",
    executablePath: "/usr/bin/chromium",
    args: [
      "--enable-features=WebRtcPipeWireCamera",
      "--use-fake-ui-for-media-stream",
      "--no-sandbox",
      "--disable-gpu",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--no-first-run",
    ],
  },
  // Chromium as it comes, without the PipeWire camera: it takes cameras from /dev/video*.
  "chromium-v4l2": {
    browser: "chrome",
    executablePath: "/usr/bin/chromium",
    args: [], // Chromium's, less the PipeWire camera (below)
  },
  firefox: {
    browser: "firefox",
    executablePath: "/usr/bin/firefox-esr",
    args: [],
    // Written to the profile's user.js. Debian's Firefox ESR does not take PipeWire cameras
    // by default; permission.disabled answers getUserMedia's prompt with yes.
    prefs: {
      "media.webrtc.camera.allow-pipewire": true,
      "media.navigator.permission.disabled": true,
      "media.navigator.streams.fake": false,
      "media.autoplay.default": 0,
      "media.autoplay.blocking_policy": 0,
      "browser.shell.checkDefaultBrowser": false,
      "datareporting.policy.dataSubmissionEnabled": false,
      "app.update.auto": false,
      "extensions.update.enabled": false,
    },
  },
};

BROWSERS["chromium-v4l2"].args = BROWSERS.chromium.args.filter((arg) => !arg.includes("WebRtcPipeWireCamera"));

const log = (...parts) => console.error(`drive: ${parts.join(" ")}`);
const reply = (fields) =>
  process.stdout.write(
    Object.entries(fields)
      .map(([key, value]) => `${key}=${String(value).replace(/[\t\n]/g, " ")}`)
      .join("\t") + "\n",
  );
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Serves camera.html on 127.0.0.1, a secure context for getUserMedia in both browsers.
async function servePage() {
  const page = fs.readFileSync(path.join(HERE, "camera.html"));
  const server = http.createServer((request, response) => {
    if (request.url === "/" || request.url === "/camera.html") {
      response.writeHead(200, { "content-type": "text/html; charset=utf-8" });
      response.end(page);
    } else {
      response.writeHead(request.url === "/favicon.ico" ? 204 : 404).end();
    }
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  return server;
}

async function launch(name, scratch) {
  const kind = BROWSERS[name];
  const profile = fs.mkdtempSync(path.join(scratch, `${name}-profile-`));
  const version = spawnSync(kind.executablePath, ["--version"], { encoding: "utf8" }).stdout?.trim();
  const browser = await puppeteer.launch({
    browser: kind.browser,
    executablePath: kind.executablePath,
    headless: true,
    userDataDir: profile,
    args: kind.args,
    extraPrefsFirefox: kind.prefs,
    // An emulated VM (tests/vm) starts Chromium in a minute or more and reads frames slowly.
    protocolTimeout: Number(process.env.KOLV_BROWSER_PROTOCOL_TIMEOUT_MS || 60_000),
    timeout: 180_000,
    dumpio: !!process.env.KOLV_BROWSER_DUMPIO,
  });
  return { browser, version: version || name };
}

// Summary of a recording made by camera.html.
function summarise(recording) {
  const frames = recording.frames;
  const count = (kind) => frames.filter((f) => f[2] === kind).length;
  const numbers = frames.filter((f) => f[2] === "P").map((f) => f[3]);
  const steps = numbers.slice(1).map((n, i) => n - numbers[i]);
  const seconds = (recording.stopped - recording.started) / 1000;
  const presented = frames.length ? frames.at(-1)[1] - frames[0][1] + 1 : 0;
  const span = frames.length > 1 ? (frames.at(-1)[0] - frames[0][0]) / 1000 : 0;
  const sizes = [...new Set(frames.map((f) => `${f[4]}x${f[5]}`))];
  const order = frames.map((f) => f[2]).join("");
  return {
    frames: frames.length,
    seconds: seconds.toFixed(2),
    presented,
    // Frames the browser presented a second, from its own counter (it may present a frame
    // that the page had no time to look at).
    rate: span ? ((presented - 1) / span).toFixed(2) : 0,
    // Pattern frames with a number not seen before, a second.
    distinct_rate: span ? (new Set(numbers).size / seconds).toFixed(2) : 0,
    G: count("G"),
    g: count("g"),
    // Grey (G or g) after the first picture (pattern or image): grey among the companion's
    // pictures; grey before it is the camera waiting for the companion.
    grey_among: (() => {
      const first = frames.findIndex((f) => f[2] === "P" || f[2] === "I");
      return first < 0 ? 0 : frames.slice(first).filter((f) => f[2] === "G" || f[2] === "g").length;
    })(),
    P: count("P"),
    T: count("T"),
    I: count("I"),
    other: count("?"),
    repeats: steps.filter((s) => s === 0).length,
    backwards: steps.filter((s) => s < 0).length,
    numbers: numbers.length ? `${numbers[0]}..${numbers.at(-1)}` : "none",
    sizes: sizes.join(","),
    sample: recording.sample || "",
    order: order.length > 120 ? `${order.slice(0, 120)}...` : order,
  };
}

// How the last recording turned grey after wall-clock time T (ms): the delay to the first grey
// frame after which every frame is grey, the frames before T, and any non-grey frame later.
function afterTime(recording, t) {
  const frames = recording.frames;
  const before = frames.filter((f) => f[0] < t).map((f) => f[2]).join("");
  const after = frames.filter((f) => f[0] >= t);
  let firstGrey = after.length;
  while (firstGrey > 0 && after[firstGrey - 1][2] === "G") firstGrey--;
  const settled = firstGrey < after.length;
  return {
    before: before.length > 60 ? `...${before.slice(-60)}` : before,
    after: after.map((f) => f[2]).join("").slice(0, 60),
    latency_ms: settled ? (after[firstGrey][0] - t).toFixed(0) : "never",
    grey_after: after.length - firstGrey,
    not_grey_before_settled: firstGrey,
  };
}

async function main() {
  const [name, scratch] = process.argv.slice(2);
  if (!BROWSERS[name] || !scratch) {
    console.error("usage: node drive.mjs chromium|chromium-v4l2|firefox SCRATCH_DIR");
    process.exit(2);
  }
  const server = await servePage();
  let browser;
  try {
    const launched = await launch(name, scratch);
    browser = launched.browser;
    const page = await browser.newPage();
    page.on("console", (message) => log(`page: ${message.text()}`));
    page.on("pageerror", (error) => log(`page error: ${error.message}`));
    await page.goto(`http://127.0.0.1:${server.address().port}/camera.html`);
    reply({ ready: 1, browser: launched.version });

    let last = null;
    const lines = readline.createInterface({ input: process.stdin });
    for await (const line of lines) {
      const [command, ...rest] = line.trim().split(" ");
      const argument = rest.join(" ");
      try {
        if (command === "devices") {
          // Cameras show up once the browser has asked PipeWire; labels once access is granted.
          const until = Date.now() + Number(argument || 0);
          let cameras = await page.evaluate(() => window.camera.devices());
          while (!cameras.some(([label]) => label) && Date.now() < until) {
            await sleep(200);
            cameras = await page.evaluate(() => window.camera.devices());
          }
          reply({ cameras: cameras.map(([label]) => label || "(no label)").join(";") });
        } else if (command === "open") {
          // One getUserMedia: the camera must be there on the first request. As a page that lets
          // the user pick a camera does, ask for one that is listed: wait up to 10 s for LABEL.
          // Firefox lists no camera before the page's first request (it opens the Camera portal
          // only then), so it is asked at once; on a busy machine it can answer before
          // WirePlumber has let the portal's PipeWire connection see the camera (docs/pipewire.md).
          const until = Date.now() + (name === "firefox" ? 0 : 10_000);
          let cameras = await page.evaluate(() => window.camera.devices());
          while (!cameras.some(([label]) => label === argument) && Date.now() < until) {
            await sleep(200);
            cameras = await page.evaluate(() => window.camera.devices());
          }
          const id = cameras.find(([label]) => label === argument)?.[1];
          const result = await page.evaluate((deviceId) => window.camera.open(deviceId), id || null);
          if (result.error) log(`open: ${result.error} (cameras listed: ${cameras.map(([l]) => l).join(";")})`);
          if (result.error) {
            // Not a retry: whether a camera turned up after the browser had answered tells a
            // browser that took its device list too early from a camera that is not there.
            const started = Date.now();
            let late = [];
            while (!late.length && Date.now() - started < 10_000) {
              await sleep(200);
              late = await page.evaluate(() => window.camera.devices());
            }
            const after = late.length
              ? `a camera was listed ${Date.now() - started} ms after the refusal`
              : "no camera was listed within 10 s of the refusal";
            log(`open: ${after}`);
            reply({ error: `${result.error} (${after})` });
          } else if (result.label !== argument) {
            reply({ error: `opened "${result.label}", not "${argument}"` });
          } else {
            const s = result.settings;
            reply({ label: result.label, width: s.width, height: s.height, fps: s.frameRate });
          }
        } else if (command === "record") {
          await page.evaluate(() => window.camera.start());
          await sleep(Number(argument));
          last = await page.evaluate(() => window.camera.stop());
          reply(summarise(last));
        } else if (command === "frames") {
          const [count, picture] = argument.split(" ");
          reply(await page.evaluate((n, kind) => window.camera.readFrames(n, kind), Number(count), picture || "P"));
        } else if (command === "after") {
          reply(last ? afterTime(last, Number(argument)) : { error: "nothing recorded" });
        } else if (command === "quit") {
          await page.evaluate(() => window.camera.close());
          break;
        } else {
          reply({ error: `unknown command "${command}"` });
        }
      } catch (error) {
        reply({ error: error.message });
      }
    }
  } catch (error) {
    reply({ error: error.message });
    process.exitCode = 1;
  } finally {
    await browser?.close().catch(() => {});
    server.close();
  }
}

// Standard input stays open after "quit"; end here rather than wait for it.
main().then(() => process.exit());
