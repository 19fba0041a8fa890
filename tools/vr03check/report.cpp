// Writing the verdicts: the terminal's lines and the JSON document.
#include "report.h"

#include <algorithm>

namespace vr03check {

const char* StatusWord(Status s) {
  switch (s) {
    case Status::Ok: return "ok";
    case Status::Warn: return "warn";
    case Status::Fail: return "fail";
    case Status::Skip: return "skip";
  }
  return "skip";
}

Verdict& Report::Add(std::string id, std::string title, Status status, std::string text, std::string fix) {
  Verdict v;
  v.id = std::move(id);
  v.title = std::move(title);
  v.status = status;
  v.text = std::move(text);
  v.fix = std::move(fix);
  verdicts_.push_back(std::move(v));
  return verdicts_.back();
}

const Verdict* Report::Find(const std::string& id) const {
  for (const Verdict& v : verdicts_)
    if (v.id == id) return &v;
  return nullptr;
}

bool Report::AnyFailed() const {
  return std::any_of(verdicts_.begin(), verdicts_.end(), [](const Verdict& v) { return v.status == Status::Fail; });
}

void Report::WriteText(std::FILE* out, bool colour) const {
  for (const Verdict& v : verdicts_) {
    const char* word = "SKIP";
    const char* sgr = "\x1b[2m";  // dim
    switch (v.status) {
      case Status::Ok: word = "OK"; sgr = "\x1b[32m"; break;
      case Status::Warn: word = "WARN"; sgr = "\x1b[33m"; break;
      case Status::Fail: word = "FAIL"; sgr = "\x1b[1;31m"; break;
      case Status::Skip: break;
    }
    // One line per check, whatever a device's name or an error message holds.
    std::string text = v.text;
    for (char& c : text)
      if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    // "card E:" needs no second colon.
    const char* colon = !v.title.empty() && v.title.back() == ':' ? "" : ":";
    if (colour)
      std::fprintf(out, "%s%-4s\x1b[0m  %s%s %s\n", sgr, word, v.title.c_str(), colon, text.c_str());
    else
      std::fprintf(out, "%-4s  %s%s %s\n", word, v.title.c_str(), colon, text.c_str());
    if (!v.fix.empty()) std::fprintf(out, colour ? "      \x1b[1mfix:\x1b[0m %s\n" : "      fix: %s\n", v.fix.c_str());
  }
  int counts[4] = {0, 0, 0, 0};
  for (const Verdict& v : verdicts_) ++counts[static_cast<int>(v.status)];
  std::fprintf(out, "%d ok, %d warnings, %d failed, %d not checked\n", counts[0], counts[1], counts[2], counts[3]);
}

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0.
size_t Utf8Length(const std::string& s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  if (n == 2 && c < 0xC2) return 0;  // overlong
  if (n == 3 && c == 0xE0 && b(i + 1) < 0xA0) return 0;
  if (n == 3 && c == 0xED && b(i + 1) >= 0xA0) return 0;  // surrogates
  if (n == 4 && (c > 0xF4 || (c == 0xF0 && b(i + 1) < 0x90) || (c == 0xF4 && b(i + 1) >= 0x90))) return 0;
  return n;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
      continue;
    }
    if (n > 1) {
      out.append(text, i, n);
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
    i += n;
  }
  return out + "\"";
}

void Report::WriteJson(std::FILE* out, const std::string& version) const {
  std::fprintf(out, "{\"program\":\"vr03check\",\"version\":%s,\"ok\":%s,\"checks\":[", JsonString(version).c_str(),
               AnyFailed() ? "false" : "true");
  for (size_t i = 0; i < verdicts_.size(); ++i) {
    const Verdict& v = verdicts_[i];
    std::fprintf(out, "%s\n{\"id\":%s,\"title\":%s,\"status\":\"%s\",\"text\":%s,\"fix\":%s,\"facts\":{", i ? "," : "",
                 JsonString(v.id).c_str(), JsonString(v.title).c_str(), StatusWord(v.status), JsonString(v.text).c_str(),
                 v.fix.empty() ? "null" : JsonString(v.fix).c_str());
    for (size_t k = 0; k < v.facts.size(); ++k) {
      const auto& [name, value] = v.facts[k];
      std::string json;
      if (const auto* s = std::get_if<std::string>(&value)) json = JsonString(*s);
      else if (const auto* n = std::get_if<long long>(&value)) json = std::to_string(*n);
      else json = std::get<bool>(value) ? "true" : "false";
      std::fprintf(out, "%s%s:%s", k ? "," : "", JsonString(name).c_str(), json.c_str());
    }
    std::fputs("}}", out);
  }
  std::fputs("\n]}\n", out);
}

}  // namespace vr03check
