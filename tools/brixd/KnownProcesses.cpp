#include "KnownProcesses.h"

#include <linux/cn_proc.h>
#include <linux/connector.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace brixd {

namespace {

// Reports a build's bursts of forks and exits without overrunning.
constexpr int kReceiveBuffer = 4 << 20;

}  // namespace

namespace {

bool Subscribe(int fd, enum proc_cn_mcast_op op) {
  // A netlink header, the connector's header, then the operation.
  constexpr size_t kLength = NLMSG_LENGTH(sizeof(struct cn_msg) + sizeof(enum proc_cn_mcast_op));
  alignas(struct nlmsghdr) char buffer[NLMSG_SPACE(kLength)] = {};
  auto* header = reinterpret_cast<struct nlmsghdr*>(buffer);
  header->nlmsg_len = kLength;
  header->nlmsg_type = NLMSG_DONE;
  auto* message = static_cast<struct cn_msg*>(NLMSG_DATA(header));
  message->id.idx = CN_IDX_PROC;
  message->id.val = CN_VAL_PROC;
  message->len = sizeof(enum proc_cn_mcast_op);
  memcpy(message->data, &op, sizeof(op));
  return send(fd, buffer, kLength, 0) == static_cast<ssize_t>(kLength);
}

// Waits up to a second for a report of `child`'s fork or exit.
bool Reported(int fd, pid_t child) {
  alignas(struct nlmsghdr) char buffer[1024];
  for (int waited = 0; waited < 100;) {
    const ssize_t length = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (length <= 0) {
      if (length < 0 && errno != EAGAIN && errno != EINTR && errno != ENOBUFS) return false;
      usleep(10000);
      ++waited;
      continue;
    }
    int left = static_cast<int>(length);
    for (auto* header = reinterpret_cast<struct nlmsghdr*>(buffer); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      const auto* message = static_cast<const struct cn_msg*>(NLMSG_DATA(header));
      if (message->len < sizeof(struct proc_event)) continue;
      // The report lies at an offset the struct's alignment does not allow.
      struct proc_event report;
      memcpy(&report, message->data, sizeof(report));
      if ((report.what == proc_event::PROC_EVENT_FORK &&
           report.event_data.fork.child_tgid == child) ||
          (report.what == proc_event::PROC_EVENT_EXIT &&
           report.event_data.exit.process_tgid == child))
        return true;
    }
  }
  return false;
}

}  // namespace

KnownProcesses::~KnownProcesses() {
  if (socket_ < 0) return;
  // Older kernels count listeners globally and report to none once the
  // count is back at zero.
  Subscribe(socket_, PROC_CN_MCAST_IGNORE);
  close(socket_);
}

bool KnownProcesses::Open(std::string* error) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_CONNECTOR);
  if (fd < 0) {
    *error = std::string("process connector: ") + strerror(errno);
    return false;
  }
  const int size = kReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  struct sockaddr_nl address {};
  address.nl_family = AF_NETLINK;
  address.nl_groups = CN_IDX_PROC;
  address.nl_pid = 0;  // the kernel picks a port
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) != 0) {
    *error = std::string("process connector: bind: ") + strerror(errno);
    close(fd);
    return false;
  }
  if (!Subscribe(fd, PROC_CN_MCAST_LISTEN)) {
    *error = std::string("process connector: subscribe: ") + strerror(errno);
    close(fd);
    return false;
  }
  // Reports reach only sockets of the first network and pid namespaces:
  // a short-lived child must be reported, or the cache stays off.
  const pid_t child = fork();
  if (child < 0) {
    *error = std::string("process connector: fork: ") + strerror(errno);
    close(fd);
    return false;
  }
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  if (!Reported(fd, child)) {
    *error = "process connector: no reports arrive (another network or pid namespace?)";
    Subscribe(fd, PROC_CN_MCAST_IGNORE);
    close(fd);
    return false;
  }
  socket_ = fd;
  return true;
}

uint64_t KnownProcesses::Drain() {
  if (socket_ < 0) return 0;
  // One report per datagram: many datagrams per system call.
  constexpr unsigned kBatch = 64;
  constexpr size_t kSize = 256;  // a report is about 80 bytes
  alignas(struct nlmsghdr) static thread_local char buffers[kBatch][kSize];
  struct iovec parts[kBatch];
  struct mmsghdr messages[kBatch];
  uint64_t execs = 0;
  for (;;) {
    for (unsigned i = 0; i < kBatch; ++i) {
      parts[i] = {buffers[i], kSize};
      messages[i] = {};
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int got = recvmmsg(socket_, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EINTR) continue;
      // ENOBUFS: reports were lost, so any entry may be stale.
      if (errno == ENOBUFS) {
        Clear();
        continue;
      }
      return execs;
    }
    if (got == 0) return execs;
    std::lock_guard<std::mutex> lock(mutex_);
    for (int i = 0; i < got; ++i) {
      int left = static_cast<int>(messages[i].msg_len);
      for (auto* header = reinterpret_cast<struct nlmsghdr*>(buffers[i]); NLMSG_OK(header, left);
           header = NLMSG_NEXT(header, left)) {
        if (header->nlmsg_type == NLMSG_ERROR || header->nlmsg_type == NLMSG_NOOP) continue;
        const auto* message = static_cast<const struct cn_msg*>(NLMSG_DATA(header));
        if (message->id.idx != CN_IDX_PROC || message->id.val != CN_VAL_PROC ||
            message->len < sizeof(struct proc_event))
          continue;
        struct proc_event report;  // copied: the message leaves it misaligned
        memcpy(&report, message->data, sizeof(report));
        switch (report.what) {
          case proc_event::PROC_EVENT_EXEC:
            ++execs;
            images_.erase(report.event_data.exec.process_tgid);
            break;
          case proc_event::PROC_EVENT_EXIT:
            images_.erase(report.event_data.exit.process_tgid);
            break;
          case proc_event::PROC_EVENT_FORK:
            // A new process (not a thread) may hold a pid seen before.
            if (report.event_data.fork.child_pid == report.event_data.fork.child_tgid)
              images_.erase(report.event_data.fork.child_tgid);
            break;
          default: break;
        }
      }
    }
    if (got < static_cast<int>(kBatch)) return execs;
  }
}

bool KnownProcesses::Find(pid_t pid, RunningProgram* program) const {
  if (socket_ < 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = images_.find(pid);
  if (it == images_.end()) return false;
  *program = it->second;
  return true;
}

void KnownProcesses::Insert(pid_t pid, const RunningProgram& program) {
  if (socket_ < 0 || capacity_ == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (images_.size() >= capacity_ && images_.count(pid) == 0) images_.erase(images_.begin());
  images_[pid] = program;
}

void KnownProcesses::Forget(pid_t pid) {
  std::lock_guard<std::mutex> lock(mutex_);
  images_.erase(pid);
}

void KnownProcesses::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  images_.clear();
}

size_t KnownProcesses::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return images_.size();
}

}  // namespace brixd
