#include "support/wsa_errors.h"

#include <errno.h>
#include <gtest/gtest.h>

namespace tarvelo {
namespace {

// The numbers are written out: a wrong number in the enum shows here too.
TEST(WsaErrorFromErrno, MapsOntoWindowsSocketsNumbers) {
  struct {
    int error;
    int wsa;
  } cases[] = {
      {0, 0},
      {ECONNREFUSED, 10061}, {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065},
      {ETIMEDOUT, 10060},    {ECONNRESET, 10054},  {ECONNABORTED, 10053},
      {EPIPE, 10058},        {ESHUTDOWN, 10058},   {ENOTCONN, 10057},
      {EBADF, 10038},        {ENOTSOCK, 10038},    {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049}, {ENETDOWN, 10050},   {EHOSTDOWN, 10064},
      {ENAMETOOLONG, 10063}, {EINTR, 10004},       {EACCES, 10013},
      {EFAULT, 10014},       {EINVAL, 10022},      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},  {EMSGSIZE, 10040},    {EOPNOTSUPP, 10045},
      {ENETRESET, 10052},    {ENOBUFS, 10055},     {ETOOMANYREFS, 10059},
      {ENOENT, ENOENT},  // no counterpart: shown as an unknown code
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(c.wsa, wsa_error_from_errno(c.error));
  }
}

}  // namespace
}  // namespace tarvelo
