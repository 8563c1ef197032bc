// istd::LogFile, the base of the process log and the trace file: one output
// descriptor (a file opened in append mode, or standard output) and the
// decorations that derived classes supply through virtual functions (file
// header, append banner, trailer, line header and trailer).
//
// Thread-safety: none; the derived classes serialise their writers.
// Ownership: the object owns its descriptor, except standard output, which it
// writes to but never closes.
#ifndef VARNEK_ISTD_LOG_FILE_H
#define VARNEK_ISTD_LOG_FILE_H

#include <string>

namespace istd {

class LogFile {
 public:
  static const std::string c_emptyStr;
  static const std::string c_emptyLine;

  LogFile();
  // Closes the file (writing the trailer).
  virtual ~LogFile();

  virtual std::string FileHeader() const;
  virtual std::string AppendBanner() const;
  virtual std::string FileTrailer() const;
  virtual std::string LineHeader() const;
  virtual std::string LineTrailer() const;
  // Called by HandleError with an errno value; the base closes the file.
  virtual void Error(int error);

  // Opens `fileName` for appending (standard output for an empty name) and
  // writes the file header (new or empty file) or the append banner. Returns
  // false when the file cannot be opened or the header cannot be written.
  bool Open(const std::string& fileName, bool sync);
  bool Open();
  // Writes the trailer and closes; the descriptor is -1 afterwards.
  void Close();
  // Writes one line: line header, `text` (up to `length` characters or its
  // terminating NUL), line trailer, newline; in one write call.
  void Write(const char* text, unsigned int length);
  bool WriteHeader(const std::string& header);
  // Calls Error(error) unless an error is already being handled.
  void HandleError(int error);

  bool SetPrintLineHeader(const bool& value);
  bool GetPrintLineHeader(bool& value) const;
  bool SetPrintLineTrailer(const bool& value);
  bool GetPrintLineTrailer(bool& value) const;

  bool IsOpen() const { return m_fd != -1; }
  const std::string& FileName() const { return m_fileName; }

 protected:
  std::string m_fileName;
  bool m_sync = false;
  int m_fd = -1;

 private:
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Writes all of `data`; false with errno set on failure.
  bool WriteAll(const char* data, size_t size);

  bool m_errorGuard = false;
  bool m_printLineHeader = true;
  bool m_printLineTrailer = true;
};

}  // namespace istd

#endif  // VARNEK_ISTD_LOG_FILE_H
