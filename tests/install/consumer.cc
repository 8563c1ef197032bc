// A program of the kind users write, built against the installed tree only.
#include <iostream>
#include <sstream>

#include "istd/istd.h"

int main() {
  istd::VerInfo::Init(2, 6, 0, 1, "install-test", "", "", "", "");
  try {
    throw istd::Exception("consumer ok", true);
  } catch (const istd::Exception& e) {
    std::ostringstream os;
    os << e << " " << istd::VerInfo::GetInstance();
    std::cout << os.str() << std::endl;
  }
  return 0;
}
