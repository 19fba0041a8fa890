// Fuzzes the .reg text that `nxreg import` reads (UTF-8, or UTF-16LE with a byte-order
// mark): a file is either refused with a reason naming its line, or gives changes
// each of which names a key below a hive's root, values only inside a key section.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "regfile.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string raw(reinterpret_cast<const char*>(data), size);
  std::vector<nxreg::Change> changes;
  try {
    changes = nxreg::ParseRegText(raw, "fuzz.reg");
  } catch (const nxreg::Failure& f) {
    Require(f.status == 1 && f.reason.rfind("fuzz.reg:", 0) == 0);
    return 0;
  }
  bool inKey = false;
  for (const auto& c : changes) {
    Require(c.key.root != nullptr && !c.key.sub.empty());
    switch (c.kind) {
      case nxreg::Change::CreateKey: inKey = true; break;
      case nxreg::Change::DeleteKey: inKey = false; break;
      // Values only ever go to the key section they stand in.
      case nxreg::Change::SetValue:
      case nxreg::Change::DeleteValue: Require(inKey); break;
    }
  }
  return 0;
}
