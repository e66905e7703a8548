// A table-driven command-line option parser. Each call of Next() reads one option of the
// argument vector against a table of option texts; words that are not options are moved behind
// the options, in their order, so that after the parse argv holds the options first.
//
// Matching (flags 0, the only setting this program uses): case-sensitive; the leading hyphens
// must agree in number; a typed text equal to a row's text wins at once, one that is a strict
// prefix of exactly one row's text selects that row, and a prefix of several rows is ambiguous.
// A value may follow "="; clumped short options are not taken apart.
//
// The parser never writes more entries than its spare buffer holds when it moves words aside:
// the buffer has room for every argument (a fixed one, or one allocated for long command
// lines); when that allocation fails the fixed buffer moves the words in slices.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

enum ESOArgType {
  SO_NONE = 0,     // the option takes no value
  SO_REQ_SEP = 1,  // the option requires a value, after "=" or as the next argument
};

enum ESOError {
  SO_SUCCESS = 0,
  SO_OPT_INVALID = -1,       // the text matches no option
  SO_OPT_MULTIPLE = -2,      // the text is a prefix of several options
  SO_ARG_INVALID = -3,       // a value was given ("=") to an option that takes none
  SO_ARG_MISSING = -5,       // a required value is missing
  SO_ARG_INVALID_DATA = -6,  // the value would begin with "-"
};

// One row of an option table; a table ends with a row whose id is -1 (SO_END_OF_OPTIONS).
template <class SOCHAR>
struct SOptionTempl {
  int nId;
  const SOCHAR* pszArg;
  ESOArgType nArgType;
};
#define SO_END_OF_OPTIONS \
  { -1, nullptr, SO_NONE }

template <class SOCHAR>
class CSimpleOptTempl {
 public:
  using SOption = SOptionTempl<SOCHAR>;

  // Entries of the fixed spare buffer; longer command lines get an allocated one.
  static constexpr int FIXED_SPARE = 50;

  // Parses argv[1] .. argv[argc - 1]; argv is reordered in place. flags must be 0.
  CSimpleOptTempl(int argc, SOCHAR** argv, const SOption* options, int flags = 0)
      : _argc(argc < 0 ? 0 : argc), _argv(argv), _options(options), _flags(flags), _nextArg(1), _lastArg(_argc) {
    if (_argc > FIXED_SPARE) {
      SOCHAR** allocated = new (std::nothrow) SOCHAR*[static_cast<size_t>(_argc)];
      if (allocated) {
        _spare = allocated;
        _spareSize = _argc;
      }
    }
  }
  ~CSimpleOptTempl() {
    if (_spare != _fixedSpare) delete[] _spare;
  }
  CSimpleOptTempl(const CSimpleOptTempl&) = delete;
  CSimpleOptTempl& operator=(const CSimpleOptTempl&) = delete;

  // Advances to the next option; false when none is left (the non-option words then stand
  // behind the options in argv).
  bool Next() {
    _clearCurrent();
    const int runStart = _nextArg;
    while (_nextArg < _lastArg && !_looksLikeOption(_argv[_nextArg])) ++_nextArg;
    const int runLength = _nextArg - runStart;
    if (_nextArg >= _lastArg) return false;  // only words left: they already stand last
    // Words met on the way go behind everything not yet read.
    _moveToEnd(runStart, runLength);
    _nextArg = runStart;
    _readOption(_argv[_nextArg++]);
    return true;
  }

  int OptionId() const { return _optionId; }
  const SOCHAR* OptionText() const { return _optionText; }
  SOCHAR* OptionArg() const { return _optionArg; }
  ESOError LastError() const { return _lastError; }
  // After SO_ARG_INVALID_DATA: the argument that was not taken as the value (it is read as the
  // next option); null otherwise.
  const SOCHAR* RefusedArg() const {
    return _lastError == SO_ARG_INVALID_DATA && _nextArg < _lastArg ? _argv[_nextArg] : nullptr;
  }
  // The entries of the argument vector moved behind the options (words), once the parse ended.
  int FileCount() const { return _argc - _lastArg; }
  // Entries of the spare buffer (tests look at it).
  int SpareSize() const { return _spareSize; }

 private:
  static bool _isHyphen(SOCHAR c) { return c == static_cast<SOCHAR>('-'); }
  static bool _looksLikeOption(const SOCHAR* text) { return text && _isHyphen(text[0]); }

  static size_t _length(const SOCHAR* text) {
    size_t n = 0;
    while (text[n]) ++n;
    return n;
  }

  void _clearCurrent() {
    _optionId = -1;
    _optionText = nullptr;
    _optionArg = nullptr;
    _lastError = SO_SUCCESS;
  }

  // How well the typed text (typedLength characters) names the row: 0 not at all, 1 as a
  // strict prefix, 2 exactly.
  static int _calcMatch(const SOCHAR* rowText, const SOCHAR* typed, size_t typedLength) {
    size_t rowHyphens = 0, typedHyphens = 0;
    while (_isHyphen(rowText[rowHyphens])) ++rowHyphens;
    while (typedHyphens < typedLength && _isHyphen(typed[typedHyphens])) ++typedHyphens;
    if (rowHyphens != typedHyphens || typedHyphens == typedLength) return 0;
    const size_t rowLength = _length(rowText);
    if (typedLength > rowLength) return 0;
    for (size_t i = typedHyphens; i < typedLength; ++i)
      if (rowText[i] != typed[i]) return 0;
    return typedLength == rowLength ? 2 : 1;
  }

  // The row index the text names, or SO_OPT_INVALID / SO_OPT_MULTIPLE.
  int _lookupOption(const SOCHAR* typed, size_t typedLength) const {
    int found = SO_OPT_INVALID;
    for (int row = 0; _options[row].nId >= 0; ++row) {
      const int match = _calcMatch(_options[row].pszArg, typed, typedLength);
      if (match == 2) return row;
      if (match == 1) found = found == SO_OPT_INVALID ? row : SO_OPT_MULTIPLE;
    }
    return found;
  }

  void _readOption(SOCHAR* argument) {
    SOCHAR* equals = argument;
    while (*equals && *equals != static_cast<SOCHAR>('=')) ++equals;
    const bool hasValue = *equals != 0;
    const int row = _lookupOption(argument, static_cast<size_t>(equals - argument));
    _optionText = argument;
    if (row < 0) {
      _lastError = static_cast<ESOError>(row);
      return;
    }
    _optionId = _options[row].nId;
    _optionText = _options[row].pszArg;
    if (_options[row].nArgType == SO_NONE) {
      if (hasValue) _lastError = SO_ARG_INVALID;
      return;
    }
    if (hasValue) {
      _optionArg = equals + 1;
    } else if (_nextArg >= _lastArg) {
      _lastError = SO_ARG_MISSING;
    } else if (_looksLikeOption(_argv[_nextArg])) {
      _lastError = SO_ARG_INVALID_DATA;  // left to be read as the next option
    } else {
      _optionArg = _argv[_nextArg++];
    }
  }

  // Moves count entries from start behind everything else, keeping the order of the moved
  // entries, of those between and of the words moved aside before; the spare buffer carries
  // them, a slice of at most its size at a time.
  void _moveToEnd(int start, int count) {
    while (count > 0) {
      const int slice = std::min(count, _spareSize);
      std::copy(_argv + start, _argv + start + slice, _spare);
      std::copy(_argv + start + slice, _argv + _argc, _argv + start);
      std::copy(_spare, _spare + slice, _argv + _argc - slice);
      _lastArg -= slice;
      count -= slice;
    }
  }

  int _argc;
  SOCHAR** _argv;
  const SOption* _options;
  int _flags;
  int _nextArg;  // the next argument to read
  int _lastArg;  // the end of the arguments not yet moved aside
  int _optionId = -1;
  const SOCHAR* _optionText = nullptr;
  SOCHAR* _optionArg = nullptr;
  ESOError _lastError = SO_SUCCESS;
  SOCHAR* _fixedSpare[FIXED_SPARE] = {};
  SOCHAR** _spare = _fixedSpare;
  int _spareSize = FIXED_SPARE;
};

using CSimpleOpt = CSimpleOptTempl<char>;
