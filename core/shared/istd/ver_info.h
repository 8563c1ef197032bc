// Process-wide version record printed in the headers of the log and the
// trace file. The application fills it once at start-up with Init(), before
// starting the log or the trace and before other threads read it.
//
// Thread-safety: the singleton is built thread-safely on first use; Init()
// is not synchronised against concurrent readers.
#ifndef VARNEK_ISTD_VER_INFO_H
#define VARNEK_ISTD_VER_INFO_H

#include <ostream>
#include <string>

namespace istd {

class VerInfo {
 public:
  virtual ~VerInfo();

  // The singleton, built on first use and destroyed at process exit.
  static VerInfo& GetInstance();

  // Stores the nine values; the version string becomes
  // major "." minor "-" build "-r" revision " " label.
  static void Init(int major, int minor, int build, int revision, const char* label,
                   const char* compiler, const char* buildTime, const char* buildMachine,
                   const char* buildUser);

  static int Major();
  static int Minor();
  static int Build();
  static int Revision();
  static const std::string& Label();
  // Empty until Init() has been called.
  static const std::string& VersionString();
  static const std::string& BuildCompiler();
  static const std::string& BuildTime();
  static const std::string& BuildMachine();
  static const std::string& BuildUser();

  // Prints revision, compiler, build time, machine and user to stdout.
  static void Dump();

 private:
  VerInfo();
  VerInfo(const VerInfo&) = delete;
  VerInfo& operator=(const VerInfo&) = delete;

  int m_major = 0;
  int m_minor = 0;
  int m_build = 0;
  int m_revision = 0;
  std::string m_label = "build info not set";
  std::string m_versionString;
  std::string m_compiler;
  std::string m_buildTime;
  std::string m_buildMachine;
  std::string m_buildUser;
};

// Writes VersionString().
std::ostream& operator<<(std::ostream& os, const VerInfo& info);

// Identification of the library build itself (the values compiled into the
// keyword strings of libvarnekistd): version "2.6.x", source revision,
// compiler, build machine, build time and build user.
struct LibraryBuildInfo {
  const char* version;
  const char* revision;
  const char* compiler;
  const char* machine;
  const char* time;
  const char* user;
};
const LibraryBuildInfo& IstdBuildInfo();

}  // namespace istd

#endif  // VARNEK_ISTD_VER_INFO_H
