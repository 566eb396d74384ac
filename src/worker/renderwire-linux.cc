// The request's passage on Linux: its header and descriptors in one
// message (SCM_RIGHTS), then its body.
#include "worker/renderwire.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/io.h"

namespace {

constexpr size_t headersize = 8;
constexpr int mostdescriptors = 4;

}  // namespace

int sendrequest(int sock, const renderrequest& request, std::string* rest) {
  const std::string bytes = encoderequest(request);
  int fds[mostdescriptors] = {request.source, request.output};
  size_t count = 2;
  if (request.music >= 0) fds[count++] = request.music;
  if (request.size != videosize::pal || request.motion) fds[count++] = request.picturesource;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof fds)] = {};
  iovec iov{const_cast<char*>(bytes.data()), headersize};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = CMSG_SPACE(count * sizeof(int));
  cmsghdr* c = CMSG_FIRSTHDR(&msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(count * sizeof(int));
  std::memcpy(CMSG_DATA(c), fds, count * sizeof(int));
  ssize_t sent;
  do sent = sendmsg(sock, &msg, MSG_NOSIGNAL);
  while (sent < 0 && errno == EINTR);
  if (sent < 0) return errno;
  // The rest of the header, where the socket took only part of it, and the body.
  rest->assign(bytes, static_cast<size_t>(sent));
  return 0;
}

bool receiverequest(int sock, renderrequest* request, std::string* why) {
  char header[headersize];
  alignas(cmsghdr) char control[CMSG_SPACE(mostdescriptors * sizeof(int))] = {};
  iovec iov{header, sizeof header};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t got;
  do got = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
  while (got < 0 && errno == EINTR);
  if (got < 0) return *why = std::string("cannot read the request: ") + std::strerror(errno), false;
  // Whatever descriptors came are the receiver's now: kept, or closed.
  std::vector<int> fds;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
      for (size_t i = 0; i < (c->cmsg_len - CMSG_LEN(0)) / sizeof(int); ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds.push_back(fd);
      }
  auto refuse = [&](const std::string& reason) {
    for (const int fd : fds) ::close(fd);
    *why = reason;
    return false;
  };
  if ((msg.msg_flags & MSG_CTRUNC) != 0) return refuse("too many descriptors");
  if (got == 0) return refuse("no request");
  if (static_cast<size_t>(got) < sizeof header &&
      !readall(sock, header + got, sizeof header - static_cast<size_t>(got)))
    return refuse("a request cut short");
  uint32_t magic, size;
  std::memcpy(&magic, header, 4);
  std::memcpy(&size, header + 4, 4);
  if (magic != requestmagic) return refuse("not a render request");
  if (size > requestlimit) return refuse("a request too large");
  std::string bytes(header, sizeof header);
  bytes.resize(sizeof header + size);
  if (!readall(sock, bytes.data() + sizeof header, size)) return refuse("a request cut short");
  size_t declared = 0;
  if (!decoderequest(bytes, request, &declared, why)) return refuse(*why);
  if (fds.size() != declared) return refuse("the wrong descriptors");
  size_t next = 0;
  request->source = fds[next++];
  request->output = fds[next++];
  request->music = request->music >= 0 ? fds[next++] : -1;
  request->picturesource = request->size != videosize::pal || request->motion ? fds[next++] : -1;
  return true;
}
