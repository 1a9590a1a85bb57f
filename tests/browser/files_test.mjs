// Fills a form with file inputs in Debian's headless Chromium: types the text
// fields, chooses the files, submits, and reports what the reply page shows
// as one JSON line on standard output. The caller checks the page and the
// mail.
//
//   node files_test.mjs '{"url": ..., "fields": {...}, "files": {...}}'
// "files" maps a file input's name to the path of the file to choose.
import { launch } from './launch.mjs';

const job = JSON.parse(process.argv[2]);

const browser = await launch();
const context = browser.context;
let failed = false;
try {
  context.setDefaultTimeout(20000);
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(job.url);
  for (const [name, text] of Object.entries(job.fields)) {
    await page.locator(`[name="${name}"]`).fill(text);
  }
  for (const [name, path] of Object.entries(job.files)) {
    await page.locator(`input[type=file][name="${name}"]`).setInputFiles(path);
  }
  const [response] = await Promise.all([
    page.waitForNavigation(),
    page.click('button[type=submit]'),
  ]);
  console.log(JSON.stringify({
    url: page.url(),
    status: response ? response.status() : null,
    title: await page.title(),
    heading: await page.locator('h1').innerText(),
  }));
} catch (error) {
  console.error(String(error && error.stack || error));
  failed = true;
} finally {
  await browser.close();
}
process.exitCode = failed ? 1 : 0;
