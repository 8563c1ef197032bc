// Process-wide version record.
#include "istd/ver_info.h"

#include <iostream>
#include <sstream>

#include "varnek_build_info.h"

namespace istd {

VerInfo::VerInfo() = default;
VerInfo::~VerInfo() = default;

VerInfo& VerInfo::GetInstance() {
  static VerInfo instance;
  return instance;
}

void VerInfo::Init(int major, int minor, int build, int revision, const char* label,
                   const char* compiler, const char* buildTime, const char* buildMachine,
                   const char* buildUser) {
  VerInfo& v = GetInstance();
  v.m_major = major;
  v.m_minor = minor;
  v.m_build = build;
  v.m_revision = revision;
  v.m_label = label != nullptr ? label : "";
  v.m_compiler = compiler != nullptr ? compiler : "";
  v.m_buildTime = buildTime != nullptr ? buildTime : "";
  v.m_buildMachine = buildMachine != nullptr ? buildMachine : "";
  v.m_buildUser = buildUser != nullptr ? buildUser : "";
  std::ostringstream os;
  os << major << "." << minor << "-" << build << "-r" << revision << " " << v.m_label;
  v.m_versionString = os.str();
}

int VerInfo::Major() { return GetInstance().m_major; }
int VerInfo::Minor() { return GetInstance().m_minor; }
int VerInfo::Build() { return GetInstance().m_build; }
int VerInfo::Revision() { return GetInstance().m_revision; }
const std::string& VerInfo::Label() { return GetInstance().m_label; }
const std::string& VerInfo::VersionString() { return GetInstance().m_versionString; }
const std::string& VerInfo::BuildCompiler() { return GetInstance().m_compiler; }
const std::string& VerInfo::BuildTime() { return GetInstance().m_buildTime; }
const std::string& VerInfo::BuildMachine() { return GetInstance().m_buildMachine; }
const std::string& VerInfo::BuildUser() { return GetInstance().m_buildUser; }

void VerInfo::Dump() {
  std::cout << "Revision:      " << VersionString() << "\n"
            << "Compiler:      " << BuildCompiler() << "\n"
            << "Build Time:    " << BuildTime() << "\n"
            << "Build Machine: " << BuildMachine() << "\n"
            << "Build User:    " << BuildUser() << std::endl;
}

const LibraryBuildInfo& IstdBuildInfo() {
  static const LibraryBuildInfo info = {VARNEK_BUILD_VERSION, VARNEK_BUILD_REVISION,
                                        VARNEK_BUILD_COMPILER, VARNEK_BUILD_MACHINE,
                                        VARNEK_BUILD_TIME,    VARNEK_BUILD_USER};
  return info;
}

std::ostream& operator<<(std::ostream& os, const VerInfo&) {
  return os << VerInfo::VersionString();
}

}  // namespace istd
