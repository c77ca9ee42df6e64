// Opens the server's page in Debian's chromium, headless, while a host runs:
// waits for frames, takes two screenshots a second apart and checks that the
// map is drawn (lanes, cars) and that the cars moved between them.
//
//   node check_page.mjs http://127.0.0.1:PORT/ OUTPUT_DIR
import puppeteer from "puppeteer-core";
import { mkdir } from "node:fs/promises";

const [url, out = "."] = process.argv.slice(2);
const fail = (message) => {
  console.error("check_page: " + message);
  process.exitCode = 1;
};
await mkdir(out, { recursive: true });
const browser = await puppeteer.launch({
  executablePath: process.env.CHROMIUM ?? "/usr/bin/chromium",
  headless: true,
  // Inside the test's namespaces chromium cannot set up its own sandbox.
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run", "--disable-extensions"],
});
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1000, height: 700 });
  const errors = [];
  page.on("pageerror", (e) => errors.push(e.message));
  await page.goto(url, { waitUntil: "load" });
  await page.waitForFunction(() => window.varnel && window.varnel.frames >= 5 && Object.keys(window.varnel.cars()).length > 0,
    { timeout: 15000 });
  // Counts the canvas's pixels by colour: lane grey and the three car colours.
  const pixels = () => page.evaluate(() => {
    const c = document.getElementById("map");
    const data = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    const near = (i, r, g, b) => Math.abs(data[i] - r) < 12 && Math.abs(data[i + 1] - g) < 12 && Math.abs(data[i + 2] - b) < 12;
    let lane = 0, car = 0;
    for (let i = 0; i < data.length; i += 4) {
      if (near(i, 199, 199, 199)) lane++;
      else if (near(i, 214, 38, 41) || near(i, 255, 158, 28) || near(i, 43, 161, 43)) car++;
    }
    return { lane, car };
  });
  const first = await page.evaluate(() => ({ cars: window.varnel.cars(), frames: window.varnel.frames }));
  const shot1 = await page.screenshot({ path: `${out}/serve-page-1.png` });
  const drawn = await pixels();
  await new Promise((r) => setTimeout(r, 1000));
  const second = await page.evaluate(() => ({ cars: window.varnel.cars(), frames: window.varnel.frames }));
  const shot2 = await page.screenshot({ path: `${out}/serve-page-2.png` });
  if (drawn.lane < 2000) fail(`the lanes are not drawn (${drawn.lane} lane pixels)`);
  if (drawn.car < 50) fail(`the cars are not drawn (${drawn.car} car pixels)`);
  if (second.frames <= first.frames) fail("no frames came in during a second");
  let moved = 0;
  for (const [id, p] of Object.entries(second.cars)) {
    const q = first.cars[id];
    if (q && Math.hypot(p.x - q.x, p.y - q.y) > 0.5) moved++;
  }
  if (moved === 0) fail("no car moved between the screenshots");
  if (Buffer.compare(shot1, shot2) === 0) fail("the two screenshots are the same");
  if (errors.length) fail("errors on the page: " + errors.join("; "));
  console.log(`page: ${second.frames - first.frames} frames in a second, ${moved} cars moved, ` +
    `${drawn.lane} lane and ${drawn.car} car pixels; screenshots in ${out}`);
} finally {
  await browser.close();
}
