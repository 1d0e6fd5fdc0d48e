// The stored-log handle's conversions through the exported functions, on any module row,
// sample kind, calibration table, channel, gain code and raw code. The 16-bit conversion must
// equal the formula exactly; the 24-bit ones must lie within float rounding of it wherever
// the result is not near the ends of its range; refusals leave the output alone. The RX5K30
// conversion forecasts its overflow as the module does, from 16-bit halves of its partial
// products scaled through 32-bit integers: with a calibration gain below 256 (a zero product
// reads as negative) or a range above 20 V (a scaled half leaves 32 bits) it saturates where
// the formula does not, so the comparison takes calibrations inside those bounds.
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "api/ModelLog.h"
#include "framework/Calibration.h"
#include "framework/RXMODEL_ModuleTable.h"
#include "nivex.h"
#include "tests/common/CalibrationReference.h"
#include "tests/fuzz/FuzzInput.h"

using nivex::fuzz::FuzzInput;
using nivex::fuzz::Require;

namespace {

// Within relative float rounding (a few steps) plus `slack` of want.
bool Near(double got, double want, double slack) {
  return std::fabs(got - want) <= std::fabs(want) * 1e-6 + slack;
}

void CheckCode(const nivex::ModelLog& log, void* handle, int code, int channel, int gainCode) {
  int out = 0x5A5A5A5A;
  const int ok = QZ_Calibrate_Data_HEX(handle, channel, gainCode, code, &out);
  float volts = 1234.5f;
  const int vok = QZ_Calibrate_Data_Float(handle, channel, gainCode, code, &volts);
  const bool channelOk = channel >= 0 && channel < log.row.AI;
  if (!channelOk) {
    Require(ok == 0 && out == 0x5A5A5A5A, "a channel outside the row is refused");
    Require(vok == 0 && volts == 1234.5f, "a channel outside the row is refused (volts)");
    return;
  }
  if (ok != 1) {
    Require(out == 0x5A5A5A5A, "a refused conversion left its output");
    return;
  }
  const uint16_t gain = log.gainTable[channel];
  const int16_t offset16 = static_cast<int16_t>(static_cast<uint16_t>(log.offsetTable[channel]));
  const nivex::CodeFormula formula = nivex::CodeFormulaOf(log.row.id);
  if (log.sampleKind == nivex::ModelLog::kKind16) {
    Require(out == nivex::test::Reference16(code, gain, offset16), "16-bit conversion");
    if (formula == nivex::CodeFormula::k16Bit && vok == 1)
      Require(std::fabs(volts) <= 10.0f, "16-bit volts within +/-10 V");
    return;
  }
  if (log.sampleKind != nivex::ModelLog::kKind24) return;
  if (formula == nivex::CodeFormula::kRx5k30 && out != 0x5A5A5A5A) {
    const double fullScale = nivex::calib::kRx5k30FullScale[gainCode];
    const double range = log.rangeTable[channel];
    const double ratio = range / 1000.0 / fullScale;
    const double want = nivex::test::Reference5K30(code, gain, offset16,
                                                   log.rangeTable[channel], fullScale);
    // Near the ends the kit forecasts the overflow from the truncated, scaled 16-bit halves
    // of its two partial products (and takes the offset as unsigned for it), so it may
    // saturate early: by up to a scaled half of each product and a unit of each high half.
    const double margin = 65536.0 * (2 * ratio + 2) + 2147483648.0 * 1e-6 + 2;
    const bool modelled = gain >= 256 && log.rangeTable[channel] <= 20000;
    if (modelled && std::fabs(want) < 2147483648.0 - margin && code != 0x7FFFFF &&
        code != 0x800000 && !Near(out, want, 2)) {
      std::fprintf(stderr, "code 0x%X gain %u offset %d range %u mV gain code %d: %d, want %.0f\n",
                   code, gain, offset16, log.rangeTable[channel], gainCode, out, want);
      Require(false, "RX5K30 conversion");
    }
    Require(vok == 1 && std::fabs(volts) <= fullScale * 1.0000001, "RX5K30 volts within range");
  } else if (formula == nivex::CodeFormula::kRxbn500) {
    Require((out & 0xFF) == 0, "RXBN500 code in the upper three bytes");
    const int64_t v = ((code & 0xFFFFFF) ^ 0x800000) - 0x800000 + int64_t{log.offsetTable[channel]};
    const double exact = static_cast<double>(v) * log.rangeTable[channel] / 10000.0;
    if (std::fabs(exact) < 8388608.0 * (1 - 1e-6) - 2)
      Require(Near(out / 256, std::trunc(exact), 1), "RXBN500 conversion");
    else
      Require(out == 0x7FFFFF00 || out == INT32_MIN || Near(out / 256, std::trunc(exact), 1),
              "RXBN500 saturation");
    Require(vok == 1 && std::isfinite(volts), "RXBN500 volts");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const nivex::WRXmodule& row = nivex::WRXMODULE[in.Byte() % 6];
  const uint8_t kindByte = in.Byte();
  const int kind = kindByte < 120 ? nivex::ModelLog::kKind16
                                  : (kindByte < 240 ? nivex::ModelLog::kKind24 : kindByte);
  auto* log = new nivex::ModelLog(row, kind);
  for (int ch = 0; ch < row.AI; ++ch) {
    log->gainTable[ch] = static_cast<uint16_t>(in.U32());
    log->offsetTable[ch] = static_cast<int32_t>(in.U32());
    log->rangeTable[ch] = in.U32();
  }
  while (!in.empty()) {
    const int code = static_cast<int>(in.U32());
    const int channel = static_cast<int8_t>(in.Byte());
    const int gainCode = static_cast<int8_t>(in.Byte()) % 12;
    CheckCode(*log, log, code, channel, gainCode);
  }
  nivex::ReleaseModelLog(log);
  return 0;
}
