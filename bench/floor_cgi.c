/* The floor of the benchmark: the least a CGI program can do for a posted
 * form. It reads CONTENT_LENGTH bytes of body from standard input and prints
 * a fixed page of 200 bytes. A static build of this is what one process
 * start costs on the machine; the gateway is measured against it. */
#include <stdlib.h>
#include <unistd.h>

static const char page[] =
    "Content-type: text/html\n\n"
    "<html><head><title>Thank you</title></head><body>\n"
    "<h1>Thank you</h1>\n"
    "<p>Your message has been sent. We will answer it soon.</p>\n"
    "<p><a href=\"/\">Go back.</a></p>\n"
    "</body></html>\n";

_Static_assert(sizeof page - 1 == 200, "the floor page is 200 bytes");

int main(void) {
  static char body[100000];
  const char* length_text = getenv("CONTENT_LENGTH");
  long want = length_text != NULL ? strtol(length_text, NULL, 10) : 0;
  if (want < 0) want = 0;
  if (want > (long)sizeof body) want = (long)sizeof body;
  long got = 0;
  while (got < want) {
    ssize_t n = read(0, body + got, (size_t)(want - got));
    if (n <= 0) break;
    got += n;
  }
  size_t done = 0;
  while (done < sizeof page - 1) {
    ssize_t n = write(1, page + done, sizeof page - 1 - done);
    if (n <= 0) return 1;
    done += (size_t)n;
  }
  return 0;
}
