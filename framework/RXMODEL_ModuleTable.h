// The module table: one row per module type the kit knows, keyed by module ID.
#pragma once

namespace nivex {

// One row of the module table.
struct WRXmodule {
  char name[20];
  unsigned short id;
  unsigned short DI;
  unsigned short DO;
  unsigned short AI;
  unsigned short AIranges;
  unsigned int bytesPerSample;
  unsigned short AO;
  unsigned short AOranges;
  unsigned short counters;
  unsigned short further1;
  unsigned short further2;
};

// Module IDs.
constexpr unsigned short kIdRX5K10 = 0xB510;
constexpr unsigned short kIdRX5K30 = 0xB530;
constexpr unsigned short kIdD4071s = 0xB071;
constexpr unsigned short kIdRXBN500 = 0xB500;
constexpr unsigned short kIdD3054s = 0xB054;

// The module table: five rows and an end row with ID 0.
extern const WRXmodule WRXMODULE[6];

// The name of the first row with this ID, or null when the end row comes first.
const char* GetWRXModuleNamebyID(unsigned short id);

// How the raw codes of a module type are calibrated (framework/Calibration.h): the 16-bit
// conversion (RX5K10, D4071s), the RX5K30 one, the RXBN500 one, or none the kit knows.
enum class CodeFormula { kNone, k16Bit, kRx5k30, kRxbn500 };
CodeFormula CodeFormulaOf(unsigned short id);

}  // namespace nivex
