// Fills the sample contact form in Debian's headless Chromium, the way a
// visitor does (key by key), submits it and reports what the reply page
// shows, as one JSON line on standard output. A screenshot of the reply page
// goes to the given path. The caller checks the page and the mail.
//
//   node form_test.mjs '{"url": ..., "screenshot": ..., "fields": {...},
//                        "javascript": false}'
import { launch } from './launch.mjs';

const job = JSON.parse(process.argv[2]);

const browser = await launch({ viewport: { width: 800, height: 600 },
                               javaScriptEnabled: job.javascript !== false });
const context = browser.context;
let failed = false;
try {
  context.setDefaultTimeout(20000);
  const page = context.pages()[0] ?? await context.newPage();
  await page.goto(job.url);
  for (const [name, text] of Object.entries(job.fields)) {
    const field = page.locator(`[name="${name}"]`);
    // A line break in a text area is typed as the Enter key. Key by key,
    // 3,000 characters take some 20 seconds on a busy machine.
    await field.pressSequentially(text, { timeout: 90000 });
  }
  const [response] = await Promise.all([
    page.waitForNavigation(),
    page.click('button[type=submit]'),
  ]);
  await page.screenshot({ path: job.screenshot, fullPage: true });
  const footer = page.locator('center a');
  console.log(JSON.stringify({
    url: page.url(),
    status: response ? response.status() : null,
    title: await page.title(),
    heading: await page.locator('h1').innerText(),
    text: await page.locator('body').innerText(),
    footer_href: (await footer.count()) ? await footer.getAttribute('href') : null,
  }));
} catch (error) {
  console.error(String(error && error.stack || error));
  failed = true;
} finally {
  await browser.close();
}
process.exitCode = failed ? 1 : 0;
