// istd::LogFile: descriptor handling and line composition.
#include "istd/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

namespace istd {

namespace {
constexpr int c_stdout = 1;
}

const std::string LogFile::c_emptyStr;
const std::string LogFile::c_emptyLine = "\n";

LogFile::LogFile() = default;

LogFile::~LogFile() { Close(); }

std::string LogFile::FileHeader() const { return c_emptyStr; }
std::string LogFile::AppendBanner() const { return c_emptyStr; }
std::string LogFile::FileTrailer() const { return c_emptyStr; }
std::string LogFile::LineHeader() const { return c_emptyStr; }
std::string LogFile::LineTrailer() const { return c_emptyStr; }

void LogFile::Error(int) { Close(); }

bool LogFile::WriteAll(const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(m_fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool LogFile::Open(const std::string& fileName, bool sync) {
  // A descriptor left open by an earlier Open is not leaked.
  if (m_fd > c_stdout || m_fd == 0) ::close(m_fd);
  m_fd = -1;
  m_fileName = fileName;
  m_sync = sync;
  std::string header;
  if (fileName.empty()) {
    m_fd = c_stdout;
    header = FileHeader();
  } else {
    const mode_t old = ::umask(0);
    // O_LARGEFILE: on the 32-bit target a log or trace of 2 GiB or more
    // would otherwise neither open nor grow.
    m_fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_LARGEFILE, 0666);
    ::umask(old);
    if (m_fd == c_stdout) {
      header = FileHeader();
    } else {
      const off64_t end = ::lseek64(m_fd, 0, SEEK_END);
      if (end < 0) {
        HandleError(errno);
        return false;
      }
      if (end == 0) {
        ::chmod(fileName.c_str(), 0666);
        header = FileHeader();
      } else {
        header = AppendBanner();
      }
    }
  }
  return WriteHeader(header);
}

bool LogFile::Open() { return Open(c_emptyStr, false); }

bool LogFile::WriteHeader(const std::string& header) {
  if (m_fd == -1) return false;
  if (!WriteAll(header.data(), header.size())) {
    HandleError(errno);
    return false;
  }
  return m_fd != -1;
}

void LogFile::Close() {
  if (m_fd == -1) return;
  const std::string trailer = FileTrailer();
  if (!WriteAll(trailer.data(), trailer.size())) {
    std::cerr << "Unable to write to log file: " << m_fileName << std::endl;
  }
  // Standard output is never closed: later writes must not reach a
  // descriptor that the process has reused for something else.
  if (m_fd != c_stdout) ::close(m_fd);
  m_fd = -1;
}

void LogFile::Write(const char* text, unsigned int length) {
  if (m_fd == -1) return;
  std::string line;
  if (m_printLineHeader) line = LineHeader();
  if (text != nullptr) line.append(text, ::strnlen(text, length));
  if (m_printLineTrailer) line += LineTrailer();
  line += '\n';
  if (!WriteAll(line.data(), line.size())) {
    HandleError(errno);
    return;
  }
  if (m_sync && m_fd != c_stdout) ::fsync(m_fd);
}

void LogFile::HandleError(int error) {
  if (m_errorGuard) return;
  m_errorGuard = true;
  Error(error);
  m_errorGuard = false;
}

bool LogFile::SetPrintLineHeader(const bool& value) {
  m_printLineHeader = value;
  return true;
}
bool LogFile::GetPrintLineHeader(bool& value) const {
  value = m_printLineHeader;
  return true;
}
bool LogFile::SetPrintLineTrailer(const bool& value) {
  m_printLineTrailer = value;
  return true;
}
bool LogFile::GetPrintLineTrailer(bool& value) const {
  value = m_printLineTrailer;
  return true;
}

}  // namespace istd
