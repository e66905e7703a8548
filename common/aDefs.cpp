#include "common/aDefs.h"

#include <algorithm>
#include <array>

namespace {

struct ModelRow {
  uint32_t code;
  const char* name;
};

constexpr std::array<ModelRow, 17> sModels = {{
    {4, "QF-Core"},
    {5, "QF-Core-E"},
    {13, "QF-Hub2"},
    {14, "QF-Hub4"},
    {15, "QF-Hub8"},
    {16, "QF-Power"},
    {17, "QF-Relay8"},
    {18, "QF-Analog4"},
    {19, "QF-Digital16"},
    {20, "QF-Serial2"},
    {21, "QF-Router"},
    {22, "QF-Thermo4"},
    {23, "QF-Motor2"},
    {24, "QF-Meter"},
    {25, "QF-Logger"},
    {26, "QF-Switch8"},
    {27, "QF-Display"},
}};

}  // namespace

const char* aDefs_GetModelName(uint32_t code) {
  const auto row =
      std::find_if(sModels.begin(), sModels.end(), [code](const ModelRow& model) { return model.code == code; });
  return row != sModels.end() ? row->name : "Unknown";
}
