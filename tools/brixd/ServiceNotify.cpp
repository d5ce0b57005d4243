#include "ServiceNotify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace brixd {

void NotifyService(const char* state) {
  const char* socketPath = getenv("NOTIFY_SOCKET");
  if (socketPath == nullptr || socketPath[0] == '\0') return;
  struct sockaddr_un address {};
  address.sun_family = AF_UNIX;
  const size_t length = strlen(socketPath);
  if (length >= sizeof(address.sun_path)) return;
  memcpy(address.sun_path, socketPath, length);
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  (void)sendto(fd, state, strlen(state), MSG_NOSIGNAL,
               reinterpret_cast<struct sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + length));
  close(fd);
}

uint64_t ServiceWatchdogNanos() {
  const char* usec = getenv("WATCHDOG_USEC");
  if (usec == nullptr || usec[0] == '\0') return 0;
  const char* owner = getenv("WATCHDOG_PID");
  if (owner != nullptr && owner[0] != '\0' &&
      strtoll(owner, nullptr, 10) != static_cast<long long>(getpid()))
    return 0;
  char* end = nullptr;
  const unsigned long long micros = strtoull(usec, &end, 10);
  if (end == usec || *end != '\0' || micros == 0) return 0;
  return micros * 1000ull / 2;
}

}  // namespace brixd
