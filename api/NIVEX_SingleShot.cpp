// The exported single-shot functions: one-shot analog reads, analog outputs, digital I/O,
// encoder, DI counters and counters, the calibration table and the code conversions. Each
// checks the handle, then its own bounds against the device's module row, then runs one
// operation of the device. The outputs an argument error clears are listed per function;
// the asymmetries are part of the interface.
#include <cstddef>

#include "api/ModelLog.h"
#include "api/NIVEX_Frame.h"
#include "nivex.h"
#include "support/FaultText.h"

namespace nivex::api {
namespace {

using nivex::Fail;

// Channel in 0..limit-1.
bool InRange(int v, int limit) { return v >= 0 && v < limit; }

template <class T>
void ClearFirst(T* values, int n) {
  if (values == nullptr) return;
  for (int i = 0; i < n; ++i) values[i] = T();
}

template <class T>
void Clear(T* p) {
  if (p != nullptr) *p = T();
}

// The code conversions take a device handle or a stored-log handle; out is the converted
// code (T = int) or volts (T = float).
template <class T>
struct ConvertArgs {
  int code;
  int channel;
  int gain;
  T* out;
  int (ModelLog::*convert)(int code, int channel, int gain, T* out) const;
};

template <class T>
int Convert(void* handle, int channel, int gain, int code, T* out,
            int (MODEL::*onDevice)(int code, int channel, int gain, T* out),
            int (ModelLog::*onLog)(int code, int channel, int gain, T* out) const) {
  if (handle == nullptr) return InvalidHandle();
  DeviceRef ref(handle);
  if (MODEL* d = ref.get()) {
    if (out == nullptr) return BadArgument();
    DeviceCall lock(d->CommandMutex());
    return (d->*onDevice)(code, channel, gain, out);
  }
  if (out == nullptr) return IsModelLog(handle) ? BadArgument() : InvalidHandle();
  ConvertArgs<T> args{code, channel, gain, out, onLog};
  return WithModelLog(
      handle,
      [](const ModelLog& log, void* context) {
        auto* a = static_cast<ConvertArgs<T>*>(context);
        return (log.*(a->convert))(a->code, a->channel, a->gain, a->out);
      },
      &args);
}

}  // namespace
}  // namespace nivex::api

using nivex::MODEL;
namespace api = nivex::api;

extern "C" {

// ------------------------------------------------------------------ analog input

QZ_API int QZ_ReadAI(void* handle, int channel, int gain, float* volts) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (volts == nullptr) return api::BadArgument();
    if (!api::InRange(channel, d.Module().AI)) return api::Fail(QZ_ERR_CHANNEL_RANGE);
    if (!api::InRange(gain, d.Module().AIranges)) return api::Fail(QZ_ERR_GAIN_RANGE);
    return d.ReadAI(channel, gain, volts);
  });
}

QZ_API int QZ_ReadAIALL(void* handle, int gain, float* volts, int count) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (volts == nullptr) return api::BadArgument();
    if (count < 1 || count > d.Module().AI) return api::Fail(QZ_ERR_CHANNEL_RANGE);
    if (!api::InRange(gain, d.Module().AIranges)) {
      api::ClearFirst(volts, count);
      return api::Fail(QZ_ERR_GAIN_RANGE);
    }
    return d.ReadAIALL(gain, volts, count);
  });
}

QZ_API int QZ_ReadAIHEX(void* handle, int channel, int gain, int* code) {
  return api::WithDevice(
      handle, [&] { api::Clear(code); },
      [&](MODEL& d) {
        if (code == nullptr) return api::BadArgument();
        if (d.Module().AI != 0 && !api::InRange(channel, d.Module().AI)) {
          *code = 0;
          return api::Fail(QZ_ERR_CHANNEL_RANGE);
        }
        if (!api::InRange(gain, d.Module().AIranges)) {
          *code = 0;
          return api::Fail(QZ_ERR_GAIN_RANGE);
        }
        return d.ReadAIHEX(channel, gain, code);
      });
}

QZ_API int QZ_ReadAIALLHEX(void* handle, int gain, int* codes, int count) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (codes == nullptr) return api::BadArgument();
    if (d.Module().AI != 0 && (count < 1 || count > d.Module().AI)) {
      api::ClearFirst(codes, count);
      return api::Fail(QZ_ERR_CHANNEL_RANGE);
    }
    if (!api::InRange(gain, d.Module().AIranges)) {
      api::ClearFirst(codes, count);
      return api::Fail(QZ_ERR_GAIN_RANGE);
    }
    return d.ReadAIALLHEX(gain, codes, count);
  });
}

QZ_API int QZ_ReadGainOffset(void* handle, int channel, int gain, unsigned short* g, short* o) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (g == nullptr || o == nullptr) return api::BadArgument();
    return d.ReadGainOffset(channel, gain, g, o);
  });
}

// ------------------------------------------------------------------ analog output

QZ_API int QZ_WriteAO(void* handle, int channel, int range, float value) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (d.Module().AO != 0 && !api::InRange(channel, d.Module().AO))
      return api::Fail(QZ_ERR_CHANNEL_RANGE);
    return d.WriteAO(channel, range, value);
  });
}

QZ_API int QZ_WriteAOHEX(void* handle, int channel, int range, int code) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (d.Module().AO != 0 && !api::InRange(channel, d.Module().AO))
      return api::Fail(QZ_ERR_CHANNEL_RANGE);
    return d.WriteAOHEX(channel, range, code);
  });
}

// ------------------------------------------------------------------ digital I/O

QZ_API int QZ_ReadDIO(void* handle, unsigned int* di, unsigned int* dout) {
  return api::WithDevice(
      handle, [&] { api::Clear(di); api::Clear(dout); },
      [&](MODEL& d) {
        if (di == nullptr || dout == nullptr) return api::BadArgument();
        return d.ReadDIO(di, dout);
      });
}

QZ_API int QZ_WriteDO(void* handle, unsigned int value) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.WriteDO(value); });
}

QZ_API int QZ_WriteDOBit(void* handle, int bit, int on) {
  // The low byte of on decides.
  return api::WithDevice(handle, [&](MODEL& d) {
    return d.WriteDOBit(bit, static_cast<unsigned char>(on) != 0);
  });
}

// ------------------------------------------------------------------ encoder

QZ_API int QZ_GetEncoderMode(void* handle, int channel, int* a, int* b, int* c) {
  return api::WithDevice(
      handle, [&] { api::Clear(a); api::Clear(b); api::Clear(c); },
      [&](MODEL& d) {
        if (a == nullptr || b == nullptr || c == nullptr) return api::BadArgument();
        return d.GetEncoderMode(channel, a, b, c);
      });
}

QZ_API int QZ_SetEncoderMode(void* handle, int channel, int a, int b, int c) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.SetEncoderMode(channel, a, b, c); });
}

QZ_API int QZ_ReadEncoder(void* handle, int channel, unsigned int* value) {
  return api::WithDevice(
      handle, [&] { api::Clear(value); },
      [&](MODEL& d) {
        if (value == nullptr) return api::BadArgument();
        return d.ReadEncoder(channel, value);
      });
}

QZ_API int QZ_ClearEncoder(void* handle, int channel) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.ClearEncoder(channel); });
}

// ------------------------------------------------------------------ DI counters and counters

QZ_API int QZ_GetDICNTConfig(void* handle, int channel, unsigned int* mode, unsigned int* value,
                             unsigned int* reserved) {
  return api::WithDevice(
      handle, [&] { api::Clear(mode); api::Clear(value); api::Clear(reserved); },
      [&](MODEL& d) {
        api::Clear(reserved);
        if (mode == nullptr || value == nullptr) return api::BadArgument();
        return d.GetDICNTConfig(static_cast<unsigned int>(channel), mode, value);
      });
}

QZ_API int QZ_SetDICNTConfig(void* handle, int channel, unsigned int mode, unsigned int value,
                             unsigned int reserved) {
  (void)reserved;
  return api::WithDevice(handle, [&](MODEL& d) {
    return d.SetDICNTConfig(static_cast<unsigned int>(channel), mode, value);
  });
}

QZ_API int QZ_GetCounterConfig(void* handle, int channel, unsigned int* mode,
                               unsigned int* value, unsigned int* reserved) {
  return api::WithDevice(handle, [&](MODEL& d) {
    api::Clear(reserved);
    if (mode == nullptr || value == nullptr) return api::BadArgument();
    return d.GetCounterConfig(static_cast<unsigned int>(channel), mode, value);
  });
}

QZ_API int QZ_SetCounterConfig(void* handle, int channel, unsigned int mode, unsigned int value,
                               unsigned int reserved) {
  (void)reserved;
  return api::WithDevice(handle, [&](MODEL& d) {
    return d.SetCounterConfig(static_cast<unsigned int>(channel), mode, value);
  });
}

QZ_API int QZ_GetDICNT(void* handle, int channel, unsigned int* value) {
  return api::WithDevice(
      handle, [&] { api::Clear(value); },
      [&](MODEL& d) {
        if (value == nullptr) return api::BadArgument();
        return d.GetDICNT(static_cast<unsigned int>(channel), value);
      });
}

QZ_API int QZ_GetCounter(void* handle, int channel, unsigned int* value) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (value == nullptr) return api::BadArgument();
    return d.GetCounter(static_cast<unsigned int>(channel), value);
  });
}

QZ_API int QZ_ClearDICNT(void* handle, int channel) {
  return api::WithDevice(
      handle, [&](MODEL& d) { return d.ClearDICNT(static_cast<unsigned int>(channel)); });
}

QZ_API int QZ_ClearDICNTALL(void* handle) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.ClearDICNTALL(); });
}

QZ_API int QZ_ClearCounter(void* handle, int channel) {
  return api::WithDevice(
      handle, [&](MODEL& d) { return d.ClearCounter(static_cast<unsigned int>(channel)); });
}

QZ_API int QZ_ClearCounterALL(void* handle) {
  return api::WithDevice(handle, [&](MODEL& d) { return d.ClearCounterALL(); });
}

QZ_API int QZ_GetDICNTAll(void* handle, unsigned int* values, int n) {
  return api::WithDevice(
      handle, [&] { api::ClearFirst(values, n); },
      [&](MODEL& d) {
        if (values == nullptr) return api::BadArgument();
        return d.GetDICNTAll(values, n);
      });
}

QZ_API int QZ_GetCounterAll(void* handle, unsigned int* values, int n) {
  return api::WithDevice(handle, [&](MODEL& d) {
    if (values == nullptr) return api::BadArgument();
    return d.GetCounterAll(values, n);
  });
}

// ------------------------------------------------------------------ code conversions

QZ_API int QZ_Calibrate_Data_HEX(void* handle, int channel, int gain, int code, int* out) {
  return api::Convert(handle, channel, gain, code, out, &MODEL::Calibrate_HEX,
                      &nivex::ModelLog::Calibrate_HEX);
}

QZ_API int QZ_Calibrate_Data_Float(void* handle, int channel, int gain, int code, float* out) {
  return api::Convert(handle, channel, gain, code, out, &MODEL::Calibrate_Hex2Float,
                      &nivex::ModelLog::Calibrate_Hex2Float);
}

}  // extern "C"
