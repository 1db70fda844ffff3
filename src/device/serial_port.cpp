#include "device/serial_port.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>

namespace kavor2::device {
namespace {

constexpr std::chrono::milliseconds kWriteTimeOut{300};

struct BaudConstant {
  int baud;
  speed_t constant;
};
constexpr BaudConstant kBauds[] = {{110, B110},     {300, B300},     {600, B600},     {1200, B1200},
                                   {2400, B2400},   {4800, B4800},   {9600, B9600},   {19200, B19200},
                                   {38400, B38400}, {57600, B57600}, {115200, B115200}};

std::optional<speed_t> BaudFor(int baud) {
  for (const BaudConstant& b : kBauds) {
    if (b.baud == baud) return b.constant;
  }
  return std::nullopt;
}

tcflag_t CharacterSize(int bits) {
  switch (bits) {
    case 5: return CS5;
    case 6: return CS6;
    case 7: return CS7;
    default: return CS8;
  }
}

int RemainingMs(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

class TTtyPort final : public ISerialPort {
 public:
  explicit TTtyPort(int fd) : fd_(fd) {}
  ~TTtyPort() override { ::close(fd_); }
  TTtyPort(const TTtyPort&) = delete;
  TTtyPort& operator=(const TTtyPort&) = delete;

  void Apply(const TSerialSettings& settings) override {
    termios tio{};
    if (::tcgetattr(fd_, &tio) != 0) return;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= CharacterSize(settings.DataBits) | CLOCAL | CREAD;
    // One and a half stop bits do not exist here; two come closest.
    if (settings.StopBits != sb1BITS) tio.c_cflag |= CSTOPB;
    switch (settings.Parity) {
      case ptNONE: break;
      case ptODD: tio.c_cflag |= PARENB | PARODD; break;
      case ptEVEN: tio.c_cflag |= PARENB; break;
      case ptMARK: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
      case ptSPACE: tio.c_cflag |= PARENB | CMSPAR; break;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    // Reads wait in poll, never in the driver.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const std::optional<speed_t> constant = BaudFor(settings.Baud);
    if (constant) {
      ::cfsetispeed(&tio, *constant);
      ::cfsetospeed(&tio, *constant);
    }
    ::tcsetattr(fd_, TCSANOW, &tio);
    if (!constant) SetCustomBaud(fd_, settings.Baud);

    const int dtr = TIOCM_DTR;
    ::ioctl(fd_, TIOCMBIC, &dtr);  // fails on a pseudo-terminal: nothing to do then
    serial_rs485 rs485{};
    rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    ::ioctl(fd_, TIOCSRS485, &rs485);  // drivers without RS-485 mode refuse it
  }

  std::optional<std::size_t> Read(std::span<std::uint8_t> into, std::chrono::milliseconds timeout) override {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::size_t got = 0;
    while (got < into.size()) {
      const ssize_t n = ::read(fd_, into.data() + got, into.size() - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        error_ = errno;
        // A port that fails at once (a device gone) still costs the read's
        // time, so a line on it does not spin.
        ::poll(nullptr, 0, RemainingMs(deadline));
        return std::nullopt;
      }
      const int left = RemainingMs(deadline);
      if (left == 0) break;
      pollfd p{fd_, POLLIN, 0};
      const int ready = ::poll(&p, 1, left);
      if (ready < 0 && errno != EINTR) {
        error_ = errno;
        return std::nullopt;
      }
      if (ready > 0 && (p.revents & (POLLERR | POLLNVAL)) != 0) {
        error_ = EIO;
        ::poll(nullptr, 0, RemainingMs(deadline));
        return std::nullopt;
      }
      if (ready > 0 && (p.revents & POLLIN) == 0 && (p.revents & POLLHUP) != 0) {
        // The other side went away (a pseudo-terminal's master closed):
        // wait out the time instead of spinning on the hang-up.
        ::poll(nullptr, 0, RemainingMs(deadline));
        break;
      }
    }
    return got;
  }

  std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) override {
    const auto deadline = std::chrono::steady_clock::now() + kWriteTimeOut;
    std::size_t put = 0;
    while (put < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + put, bytes.size() - put);
      if (n > 0) {
        put += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        error_ = errno;
        return std::nullopt;
      }
      const int left = RemainingMs(deadline);
      if (left == 0) break;
      pollfd p{fd_, POLLOUT, 0};
      ::poll(&p, 1, left);
    }
    return put;
  }

  void Purge() override { ::tcflush(fd_, TCIOFLUSH); }
  int LastSystemError() const override { return error_; }

 private:
  const int fd_;
  int error_ = 0;
};

}  // namespace

std::unique_ptr<ISerialPort> OpenSystemSerialPort(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  if (!::isatty(fd)) {
    ::close(fd);
    return nullptr;
  }
  // No sharing: a second opener of the tty is refused (root excepted).
  ::ioctl(fd, TIOCEXCL);
  return std::make_unique<TTtyPort>(fd);
}

}  // namespace kavor2::device
