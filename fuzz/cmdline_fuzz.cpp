// Fuzzes the command line: the input is an argument vector, its words separated by 0 bytes (the
// first word is argv[0]). The option parser and the program's handling of every option run over
// it; the parse may only reorder the vector, never lose, invent or move argv[0]. The number
// readers are checked against a plain conversion of each word.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "firmware/Log.h"
#include "firmware/UpdateServerRequest.h"
#include "fuzz/silent_display.h"
#include "updater/Parameters.h"

using namespace UpdaterCommandLine;

namespace {

// Longest vector handed to the parser: enough to pass the fixed spare buffer several times.
constexpr size_t kMaxWords = 400;

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
void _check_number(const std::string& word, uint32_t (*reader)(const char*, char**), const char* digits, int base) {
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

// The table's options that take a value, and those that do not.
const std::set<std::string> kWithValue = {"-X", "-Z", "-m", "-i", "-b", "-d", "-t",
                                          "-f", "-r", "-s", "-o", "-l", "-k", "-u"};
const std::set<std::string> kWithout = {"-B", "-L", "-D", "-G", "-I", "-U", "-OVERRIDE", "-N", "-Y", "-C", "-n", "-e"};
const std::set<std::string> kHelp = {"-h", "-H", "--help"};

// The values of a plain vector by option, in the order given; false when it is not plain.
bool _plainValues(const std::vector<std::string>& words, std::map<std::string, std::vector<std::string>>* values) {
  for (size_t i = 1; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (word.empty() || word[0] != '-') continue;
    if (kWithout.count(word)) {
      (*values)[word].push_back("");
      continue;
    }
    if (!kWithValue.count(word) || i + 1 == words.size() || words[i + 1].empty() || words[i + 1][0] == '-')
      return false;
    (*values)[word].push_back(words[++i]);
  }
  return true;
}

void _require(bool condition) {
  if (!condition) std::abort();
}

void _checkLanded(const Parameters& parameters, const std::map<std::string, std::vector<std::string>>& values) {
  const auto last = [&](const char* option, const std::string& fallback) {
    const auto found = values.find(option);
    return found == values.end() ? fallback : found->second.back();
  };
  const Parameters defaults = [] {
    Parameters none;
    none.baudRate = 115200;
    none.serverUrl = UpdateServerRequest::default_url;
    none.logFile = "Updater.log";
    return none;
  }();
  _require(parameters.storeDir == last("-i", defaults.storeDir));
  _require(parameters.birdFile == last("-f", defaults.birdFile));
  _require(parameters.serialPort == last("-s", defaults.serialPort));
  // A URL or a rate the parser refuses leaves the default in place (and fails the parse).
  const auto takenOrDefault = [](const auto& field, const auto& given, const auto& fallback) {
    return field == given || field == fallback;
  };
  _require(takenOrDefault(parameters.serverUrl, last("-u", defaults.serverUrl), defaults.serverUrl));
  _require(parameters.logMessage == last("-l", defaults.logMessage));
  _require(parameters.logFile == last("-k", defaults.logFile));
  _require(parameters.echo == values.count("-e") && parameters.flagN == values.count("-n"));
  _require(parameters.override == values.count("-OVERRIDE"));
  char* end = nullptr;
  if (values.count("-o"))
    _require(takenOrDefault(parameters.baudRate, _get_int_arg(last("-o", "").c_str(), &end), defaults.baudRate));
  else _require(parameters.baudRate == defaults.baudRate);
  const std::string transport = last("-t", "");
  _require(parameters.transportGiven == values.count("-t"));
  if (transport.rfind("USB", 0) == 0) _require(parameters.transport == USB);
  else if (transport.rfind("TCP", 0) == 0) _require(parameters.transport == TCPIP);
  // A serial number is read in hexadecimal, with or without "0x"; 0 is refused.
  for (const auto& [option, field] :
       {std::pair{"-d", &Parameters::serialNumber}, std::pair{"-r", &Parameters::routerSerialNumber}}) {
    if (!values.count(option)) continue;
    std::string digits = last(option, "");
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits.erase(0, 2);
    const uint32_t expected = _get_hex_arg(digits.c_str(), &end);
    if (expected != 0) _require(parameters.*field == expected);
  }
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

  std::map<std::string, std::vector<std::string>> values;
  const bool help =
      std::any_of(words.begin() + 1, words.end(), [](const std::string& w) { return kHelp.count(w) > 0; });
  if (!help && _plainValues(words, &values)) _checkLanded(parameters, values);

  for (const std::string& word : words) {
    _check_number(word, _get_int_arg, "0123456789", 10);
    _check_number(word, _get_hex_arg, "0123456789ABCDEFabcdef", 16);
  }
  return 0;
}
