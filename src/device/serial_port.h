#pragma once
// ISerialPort: the thin I/O layer under the serial transport, and the
// system's port on a Linux tty (termios). Reads wait at most the time given
// in total and may return fewer bytes than asked; writes wait at most
// kWriteTimeOut for the driver to take the bytes.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace kavor2::device {

enum TComStopBits : std::uint8_t { sb1BITS = 0, sb1HALFBITS = 1, sb2BITS = 2 };
enum TComParity : std::uint8_t { ptNONE = 0, ptODD = 1, ptEVEN = 2, ptMARK = 3, ptSPACE = 4 };

struct TSerialSettings {
  int Baud = 115200;
  int DataBits = 8;  // 5 to 8
  TComStopBits StopBits = sb1BITS;
  TComParity Parity = ptNONE;
};

class ISerialPort {
 public:
  virtual ~ISerialPort() = default;
  // Speed, character format, raw mode without flow control, DTR off and,
  // where the driver has it, RTS raised only while sending. Settings the
  // device cannot take are skipped (a pseudo-terminal has no RS-485 mode).
  virtual void Apply(const TSerialSettings& settings) = 0;
  // Waits until `into` is full or `timeout` has passed in total; returns how
  // many bytes arrived (0: none), or nothing on a read error.
  virtual std::optional<std::size_t> Read(std::span<std::uint8_t> into, std::chrono::milliseconds timeout) = 0;
  // Returns how many bytes the driver took, or nothing on a write error
  // (LastSystemError then holds the system's code).
  virtual std::optional<std::size_t> Write(std::span<const std::uint8_t> bytes) = 0;
  // Drops what waits in both directions.
  virtual void Purge() = 0;
  virtual int LastSystemError() const = 0;
};

// Opens the port at that path; null when it cannot be opened.
using TSerialPortOpener = std::function<std::unique_ptr<ISerialPort>(const std::string& path)>;

// The system's: the tty opened for reading and writing, not as a controlling
// terminal, and exclusively where the driver allows it.
std::unique_ptr<ISerialPort> OpenSystemSerialPort(const std::string& path);

// Sets a rate that has no Bxxx constant (14400, 56000) through termios2.
// Returns false when the driver refuses it.
bool SetCustomBaud(int fd, int baud);

}  // namespace kavor2::device
