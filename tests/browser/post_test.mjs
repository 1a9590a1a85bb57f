// Posts the sample form's fields from Debian's headless Chromium in the
// encodings a page uses besides a plain form: fetch() with FormData
// (multipart/form-data), fetch() with JSON.stringify (application/json), and
// a form with enctype="text/plain". Reports the status and the reply page's
// heading of each, as one JSON line on standard output; the caller checks
// the mails.
//
//   node post_test.mjs '{"url": ..., "posts": [{"kind": ..., "fields": {...}}]}'
import { launch } from './launch.mjs';

const job = JSON.parse(process.argv[2]);

const browser = await launch();
const context = browser.context;
let failed = false;
try {
  context.setDefaultTimeout(20000);
  const page = context.pages()[0] ?? await context.newPage();
  const results = [];
  for (const post of job.posts) {
    await page.goto(job.url);
    if (post.kind === 'text/plain') {
      // The browser itself encodes the form: a real enctype="text/plain"
      // submission, not a body built here. submit() passes the page's own
      // script by, which would send the form with fetch().
      const [response] = await Promise.all([
        page.waitForNavigation(),
        page.evaluate((fields) => {
          const form = document.querySelector('form');
          form.setAttribute('enctype', 'text/plain');
          for (const [name, value] of Object.entries(fields)) {
            form.querySelector(`[name="${name}"]`).value = value;
          }
          form.submit();
        }, post.fields),
      ]);
      results.push({ status: response ? response.status() : null,
                     heading: await page.locator('h1').innerText() });
      continue;
    }
    results.push(await page.evaluate(async ({ kind, fields }) => {
      let init;
      if (kind === 'formdata') {
        const data = new FormData();
        for (const [name, value] of Object.entries(fields)) data.append(name, value);
        init = { method: 'POST', body: data };
      } else {
        init = { method: 'POST', body: JSON.stringify(fields),
                 headers: { 'Content-Type': 'application/json' } };
      }
      const response = await fetch('/cgi-bin/mailer.cgi', init);
      const html = await response.text();
      const heading = new DOMParser().parseFromString(html, 'text/html')
          .querySelector('h1');
      return { status: response.status, heading: heading ? heading.textContent : null };
    }, post));
  }
  console.log(JSON.stringify(results));
} catch (error) {
  console.error(String(error && error.stack || error));
  failed = true;
} finally {
  await browser.close();
}
process.exitCode = failed ? 1 : 0;
