// The verdicts of vr03check and their two forms: one line per check for a person (in
// colour on a terminal), or one JSON document for scripts.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace vr03check {

// Ok: this step is done. Warn: it works, but something is worth knowing or doing.
// Fail: this step is missing or broken (the exit status becomes 1). Skip: not checked,
// because a step before it failed or there is nothing to check.
enum class Status { Ok, Warn, Fail, Skip };

const char* StatusWord(Status s);  // "ok", "warn", "fail", "skip"

using FactValue = std::variant<std::string, long long, bool>;

struct Verdict {
  std::string id;  // stable name for scripts: "service", "card E:", "recorder", ...
  std::string title;  // what is checked, for a person: "paged-file service"
  Status status = Status::Skip;
  std::string text;  // what was seen, one line
  std::string fix;  // the command that mends it, or empty
  std::vector<std::pair<std::string, FactValue>> facts;  // what scripts may want to read

  Verdict& Fact(std::string name, FactValue value) {
    facts.emplace_back(std::move(name), std::move(value));
    return *this;
  }
};

class Report {
 public:
  Verdict& Add(std::string id, std::string title, Status status, std::string text, std::string fix = {});
  const std::vector<Verdict>& Verdicts() const { return verdicts_; }
  // The verdict of an id, or null.
  const Verdict* Find(const std::string& id) const;
  bool AnyFailed() const;

  // One line per check ("OK    title: text"), the fix on the next line; colour codes
  // around the status word when `colour` is set.
  void WriteText(std::FILE* out, bool colour) const;
  void WriteJson(std::FILE* out, const std::string& version) const;

 private:
  std::vector<Verdict> verdicts_;
};

// A JSON string literal of UTF-8 text (control characters escaped; invalid UTF-8 bytes
// replaced by U+FFFD so that the document stays valid).
std::string JsonString(const std::string& text);

}  // namespace vr03check
