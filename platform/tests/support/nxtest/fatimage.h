// Test support: FAT volume images made and inspected with dosfstools and mtools, tools
// that nobody here wrote, so that what our code reads and writes is checked against them.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace nxtest {

// Runs a shell command; its exit code (-1 when it could not run).
inline int Run(const std::string& command) {
  int rc = std::system(command.c_str());
  return rc == -1 ? -1 : WEXITSTATUS(rc);
}

// Output of a shell command.
inline std::string Capture(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// A new FAT image of sizeKiB kibibytes: fatBits 12 or 16, label, serial number (hex
// text such as "1234ABCD"), sectors per cluster and further mkfs.fat options.
inline void MakeFatImage(const std::string& path, int sizeKiB, int fatBits, const std::string& label,
                         const std::string& serial, int sectorsPerCluster = 1, const std::string& options = "") {
  std::string cmd = "mkfs.fat -C -F " + std::to_string(fatBits) + " -S 512 -s " + std::to_string(sectorsPerCluster) +
                    " " + options + " -n " + Quote(label) + " -i " + serial + " " + Quote(path) + " " + std::to_string(sizeKiB) +
                    " >/dev/null 2>&1";
  if (Run(cmd) != 0) throw std::runtime_error("mkfs.fat failed: " + cmd);
}

// Copies a local file into the image under name (in the root folder or "DIR/NAME").
inline void PutFile(const std::string& image, const std::string& local, const std::string& name) {
  if (Run("mcopy -o -i " + Quote(image) + " " + Quote(local) + " ::" + Quote(name) + " >/dev/null 2>&1") != 0)
    throw std::runtime_error("mcopy into the image failed");
}

// The bytes of a file of the image, as mtools reads them.
inline std::string GetFile(const std::string& image, const std::string& name) {
  return Capture("mtype -i " + Quote(image) + " ::" + Quote(name) + " 2>/dev/null");
}

inline void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string s(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(s.data(), static_cast<std::streamsize>(s.size()));
  return s;
}

// Deterministic bytes that differ from position to position.
inline std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  unsigned v = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    v = v * 1103515245u + 12345u;
    s[i] = static_cast<char>(v >> 16);
  }
  return s;
}

}  // namespace nxtest
