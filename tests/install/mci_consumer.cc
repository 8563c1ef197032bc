// A client program of the kind users write, built against the installed tree
// only: builds a small local tree and walks it through handles.
#include <iostream>

#include "client/roz.h"

int main() {
  const roz::TreeNodePtr root =
      roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>("cache");
  root->Add(roz::factory::Create<roz::LocalNodeStructure, roz::TreeNode>("host"));
  const roz::Node handle(root, roz::c_noRelPath);
  const roz::Path full = handle["host"].GetFullPath(false);
  std::cout << "mci ok " << roz::ToString(full) << " " << roz::SubTree(handle).size() << std::endl;
  return 0;
}
