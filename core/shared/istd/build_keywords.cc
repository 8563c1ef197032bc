// Identification keyword strings compiled into the read-only data of every
// library of the family, for external identification tools (`strings`,
// `ident`). Nothing reads them at run time; the values come from the build.
#include "varnek_build_info.h"

namespace {
__attribute__((used)) const char c_rozVersion[] = "$ROZVersion: " VARNEK_BUILD_VERSION " $";
__attribute__((used)) const char c_rozSvnRevision[] =
    "$ROZSvnRevision: " VARNEK_BUILD_REVISION " $";
__attribute__((used)) const char c_rozBuildCompiler[] =
    "$ROZBuildCompiler: " VARNEK_BUILD_COMPILER " $";
__attribute__((used)) const char c_rozBuildMachine[] =
    "$ROZBuildMachine: " VARNEK_BUILD_MACHINE " $";
__attribute__((used)) const char c_rozBuildTime[] = "$ROZBuildTime: " VARNEK_BUILD_TIME " $";
__attribute__((used)) const char c_rozBuildUser[] = "$ROZBuildUser: " VARNEK_BUILD_USER " $";
}  // namespace
