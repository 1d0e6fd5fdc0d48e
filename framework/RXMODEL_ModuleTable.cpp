// The module table and its lookup by module ID.
#include "framework/RXMODEL_ModuleTable.h"

namespace nivex {

const WRXmodule WRXMODULE[6] = {
    // name        id      DI DO AI  AIr b/s AO AOr cnt f1 f2
    {"RX-5K10", 0xB510, 4, 4, 8, 2, 2, 0, 0, 1, 0, 0},
    {"RX-5K30", 0xB530, 3, 4, 4, 10, 4, 2, 4, 0, 1, 0},
    {"D4071s", 0xB071, 0, 0, 64, 2, 2, 0, 0, 0, 0, 0},
    {"RX-BN500", 0xB500, 0, 0, 4, 1, 4, 0, 0, 0, 0, 0},
    {"D3054Ws", 0xB054, 0, 0, 48, 1, 2, 0, 0, 0, 0, 0},
    {"", 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
};

const char* GetWRXModuleNamebyID(unsigned short id) {
  for (const WRXmodule& row : WRXMODULE) {
    if (row.id == 0) return nullptr;
    if (row.id == id) return row.name;
  }
  return nullptr;
}

CodeFormula CodeFormulaOf(unsigned short id) {
  struct Row {
    unsigned short id;
    CodeFormula formula;
  };
  static constexpr Row kFormulas[] = {
      {kIdRX5K10, CodeFormula::k16Bit},
      {kIdRX5K30, CodeFormula::kRx5k30},
      {kIdD4071s, CodeFormula::k16Bit},
      {kIdRXBN500, CodeFormula::kRxbn500},
  };
  for (const Row& r : kFormulas)
    if (r.id == id) return r.formula;
  return CodeFormula::kNone;
}

}  // namespace nivex
