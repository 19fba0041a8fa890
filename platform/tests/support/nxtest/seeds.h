// Test support: tests that build typical inputs of a fuzz target also save them as its
// seeds when NX_FUZZ_SEEDS names a folder (how the committed corpora are made):
//   NX_FUZZ_SEEDS=$PWD/services/pfsvc/tests/fuzz/corpus/records build/dev/bin/pfsvc_records_test
#pragma once

#include <stdlib.h>

#include <fstream>
#include <string>

namespace nxtest {

inline void SaveSeed(const std::string& name, const std::string& bytes) {
  const char* dir = getenv("NX_FUZZ_SEEDS");
  if (!dir || !*dir) return;
  std::ofstream out(std::string(dir) + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace nxtest
