// Fuzzes the command line: the input is an argument vector, its words separated by 0 bytes (the
// first word is argv[0]). The option parser and the program's handling of every option run over
// it; the parse may only reorder the vector, never lose, invent or move argv[0]. The number
// readers are checked against a plain conversion of each word.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "updater/Log.h"
#include "updater/Parameters.h"

using namespace UpdaterCommandLine;

namespace {

// Longest vector handed to the parser: enough to pass the fixed spare buffer several times.
constexpr size_t kMaxWords = 400;

class SilentDisplay : public UpdaterDisplayInterface {
 public:
  void display_progress(bool) override {}
  void update_progress(double, const char*) override {}
  void update_spinner(bool, const char*) override {}
  void info_message(const char*) override {}
  void error_message(const char*) override {}
};

std::vector<std::string> _words(const uint8_t* data, size_t size) {
  std::vector<std::string> words(1);
  for (size_t i = 0; i < size && words.size() <= kMaxWords; ++i) {
    if (data[i] == 0) words.emplace_back();
    else words.back().push_back(static_cast<char>(data[i]));
  }
  if (words.size() > kMaxWords) words.pop_back();
  return words;
}

// The value of a word of decimal or hexadecimal digits as the plain conversion gives it.
void _check_number(const std::string& word, uint32_t (*reader)(const char*, char**), const char* digits,
                   int base) {
  char* end = nullptr;
  const uint32_t value = reader(word.c_str(), &end);
  const bool onlyDigits = word.find_first_not_of(digits) == std::string::npos;
  errno = 0;
  const unsigned long long plain = word.empty() ? 0 : std::strtoull(word.c_str(), nullptr, base);
  const bool fits = onlyDigits && errno != ERANGE && plain <= UINT32_MAX;
  if (fits && value != plain) std::abort();
  if (!fits && (value != 0 || end != nullptr)) std::abort();
  if (fits && end != word.c_str() + word.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Log::SetOutput(nullptr);
  Log::DeactivatePackage(0xFFFFFFFFu);
  std::vector<std::string> words = _words(data, size);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  const std::vector<char*> given = argv;
  argv.push_back(nullptr);

  SilentDisplay display;
  Parameters parameters;
  UpdaterCommandLine::_get_params(display, static_cast<int>(given.size()), argv.data(), &parameters);

  std::vector<char*> after(argv.begin(), argv.end() - 1);
  if (after.front() != given.front() || argv.back() != nullptr) std::abort();
  std::vector<char*> sortedGiven = given;
  std::sort(sortedGiven.begin(), sortedGiven.end());
  std::sort(after.begin(), after.end());
  if (after != sortedGiven) std::abort();
  if (parameters.appName.empty()) std::abort();

  for (const std::string& word : words) {
    _check_number(word, _get_int_arg, "0123456789", 10);
    _check_number(word, _get_hex_arg, "0123456789ABCDEFabcdef", 16);
  }
  return 0;
}
