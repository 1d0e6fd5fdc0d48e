// MODEL's default bodies: an operation that a module type lacks clears its outputs, fails with
// error 0xFFFFF (QZ_ERR_NOT_IMPLEMENTED) and returns 0. Null outputs are skipped.
#include "framework/RXMODEL_Class.h"

namespace nivex {

namespace {

template <class T>
void Clear(T* out) {
  if (out != nullptr) *out = T();
}

template <class T>
void ClearN(T* out, int n) {
  if (out == nullptr) return;
  for (int i = 0; i < n; ++i) out[i] = T();
}

void ClearText(char* text) {
  if (text != nullptr) text[0] = '\0';
}

}  // namespace

int MODEL::ConnectServer() { return NotImplemented(); }
int MODEL::DisconnectServer() { return NotImplemented(); }
int MODEL::GetFPGAVersion(char* text) {
  ClearText(text);
  return NotImplemented();
}
int MODEL::Calibrate_HEX(int, int, int, int* out) {
  Clear(out);
  return NotImplemented();
}
int MODEL::Calibrate_Hex2Float(int, int, int, float* out) {
  Clear(out);
  return NotImplemented();
}
int MODEL::ReadAI(int, int, float*) { return NotImplemented(); }
int MODEL::ReadAIALL(int, float*, int) { return NotImplemented(); }
int MODEL::ReadAIHEX(int, int, int*) { return NotImplemented(); }
int MODEL::ReadAIALLHEX(int, int*, int) { return NotImplemented(); }
int MODEL::ReadDIO(unsigned int* di, unsigned int* dout) {
  Clear(di);
  Clear(dout);
  return NotImplemented();
}
int MODEL::WriteDO(unsigned int) { return NotImplemented(); }
int MODEL::WriteDOBit(int, bool) { return NotImplemented(); }
int MODEL::GetDICNTConfig(unsigned int, unsigned int* a, unsigned int* b) {
  Clear(a);
  Clear(b);
  return NotImplemented();
}
int MODEL::SetDICNTConfig(unsigned int, unsigned int, unsigned int) { return NotImplemented(); }
int MODEL::GetCounterConfig(unsigned int, unsigned int* a, unsigned int* b) {
  Clear(a);
  Clear(b);
  return NotImplemented();
}
int MODEL::SetCounterConfig(unsigned int, unsigned int, unsigned int) { return NotImplemented(); }
int MODEL::GetDICNT(unsigned int, unsigned int* value) {
  Clear(value);
  return NotImplemented();
}
int MODEL::GetCounter(unsigned int, unsigned int* value) {
  Clear(value);
  return NotImplemented();
}
int MODEL::ClearDICNT(unsigned int) { return NotImplemented(); }
int MODEL::ClearDICNTALL() { return NotImplemented(); }
int MODEL::ClearCounter(unsigned int) { return NotImplemented(); }
int MODEL::ClearCounterALL() { return NotImplemented(); }
int MODEL::GetDICNTAll(unsigned int* values, int n) {
  ClearN(values, n);
  return NotImplemented();
}
int MODEL::GetCounterAll(unsigned int* values, int n) {
  ClearN(values, n);
  return NotImplemented();
}
int MODEL::SetScanParam(short, short, short, int, unsigned int, short, short) {
  return NotImplemented();
}
int MODEL::GetScanParam(short* channels, short* gain, short* trigger, int* rate,
                        unsigned int* target, short* transferModeOut, short* ackModeOut) {
  Clear(channels);
  Clear(gain);
  Clear(trigger);
  Clear(rate);
  Clear(target);
  Clear(transferModeOut);
  Clear(ackModeOut);
  return NotImplemented();
}
int MODEL::SetConfig(int, int, int) { return NotImplemented(); }
int MODEL::GetConfig(int, int, int* value) {
  Clear(value);
  return NotImplemented();
}
int MODEL::SetRMSParam(short, short) { return NotImplemented(); }
int MODEL::GetRMSParam(short* dt, short* rpf) {
  Clear(dt);
  Clear(rpf);
  return NotImplemented();
}
int MODEL::GetAIAnalogTriggerIdx() { return NotImplemented(); }
int MODEL::SetAIAnalogTriggerParam(int, char*, float*, float*, int, unsigned int, unsigned int) {
  return NotImplemented();
}
int MODEL::GetAIAnalogTriggerParam(int* type, char* channels, float* levels1, float* levels2,
                                   int n, unsigned int* pre, unsigned int* post) {
  Clear(type);
  const int entries = n < module.AI ? n : module.AI;  // no more than the type has
  ClearN(channels, entries);
  ClearN(levels1, entries);
  ClearN(levels2, entries);
  Clear(pre);
  Clear(post);
  return NotImplemented();
}
int MODEL::SetWinSize(unsigned int) { return NotImplemented(); }
int MODEL::StartMagicScan() { return NotImplemented(); }
int MODEL::StopMagicScan() { return NotImplemented(); }
int MODEL::StopLANQueue() { return NotImplemented(); }
unsigned int MODEL::GetDAQSampleCnt() { return static_cast<unsigned int>(NotImplemented()); }
unsigned int MODEL::GetTCPReceivedCnt() { return static_cast<unsigned int>(NotImplemented()); }
void MODEL::ClearCnt() { NotImplemented(); }
int MODEL::RunThreadAIScan_NSampleRoutine() { return NotImplemented(); }
int MODEL::RunThreadAIScan_ReceiveDATAfromQZDevice() { return NotImplemented(); }
int MODEL::RunThreadLog_NSampleRoutine() { return NotImplemented(); }
int MODEL::RunThreadLog_ReceiveDATAfromQZDevice() { return NotImplemented(); }
void MODEL::RunThread() { NotImplemented(); }
int MODEL::ReBoot() { return NotImplemented(); }
int MODEL::TransmitData() { return NotImplemented(); }
int MODEL::GetQZStartSamplingTime(char* text) {
  ClearText(text);
  return NotImplemented();
}
int MODEL::ReadHostLANBuffer(char*, unsigned int) { return NotImplemented(); }
unsigned int MODEL::ReadHostLANBufferCnt() { return static_cast<unsigned int>(NotImplemented()); }
int MODEL::ChangeTimeStamp() { return NotImplemented(); }
int MODEL::ReadGainOffset(int, int, unsigned short* gain, short* offset) {
  Clear(gain);
  Clear(offset);
  return NotImplemented();
}
int MODEL::ReadAllGainOffsetfromQZ() { return NotImplemented(); }
void MODEL::SaveStartSamplingTimetoConfigFile() { NotImplemented(); }
int MODEL::StopLogger() { return NotImplemented(); }
void MODEL::setQZsamplingStatus(bool) { NotImplemented(); }
bool MODEL::getQZsamplingStatus() { return NotImplemented() != 0; }
void MODEL::DOCallBackFun(unsigned short) { NotImplemented(); }
int MODEL::SetEventCallback(unsigned short, unsigned short, void*, void*) {
  return NotImplemented();
}
int MODEL::RemoveEventCallback(unsigned short) { return NotImplemented(); }
int MODEL::AD_ReadData(char*, unsigned int, int) { return NotImplemented(); }
int MODEL::AD_ReadData_float(float*, unsigned int, int) { return NotImplemented(); }
unsigned short MODEL::AD_BufferStatus() { return static_cast<unsigned short>(NotImplemented()); }
unsigned int MODEL::Get_ADSize() { return static_cast<unsigned int>(NotImplemented()); }
int MODEL::AD_ClearData() { return NotImplemented(); }
int MODEL::LANBuffer_Init() { return NotImplemented(); }
void MODEL::LANBuffer_Uninit() { NotImplemented(); }
int MODEL::GetSDAllLogFiles(unsigned int*) { return NotImplemented(); }
int MODEL::GetSDLogFile_Info(unsigned int, unsigned int*, unsigned int*, char*) {
  return NotImplemented();
}
int MODEL::StartDownload() { return NotImplemented(); }
void MODEL::RunThreadDownload() { NotImplemented(); }
void MODEL::SaveMagicConfig(char*, char*, unsigned int, void*) { NotImplemented(); }
int MODEL::StartLogger(char*, int, int) { return NotImplemented(); }
int MODEL::DownloadSDFile(unsigned int, char, char*, int) { return NotImplemented(); }
int MODEL::SaveSDConfigFile(unsigned int, char, char*, char*, unsigned int, void*) {
  NotImplemented();
  return -1;
}
int MODEL::RunThreadDownload_ReceiveDATAfromQZDevice() { return NotImplemented(); }
int MODEL::ChangeTimeStamp_SD_Download() { return NotImplemented(); }
int MODEL::SetAIDelayTriggerParam(unsigned int) { return NotImplemented(); }
int MODEL::GetAIDelayTriggerParam(unsigned int* value) {
  Clear(value);
  return NotImplemented();
}
int MODEL::SetSyncInScanParam(unsigned int, unsigned short*, unsigned short*, unsigned short,
                              unsigned int, unsigned int) {
  return NotImplemented();
}
int MODEL::GetSyncInScanParam(unsigned int*, unsigned short*, unsigned short*, unsigned short,
                              unsigned short*, unsigned int*, unsigned int*) {
  return NotImplemented();
}
void MODEL::RunThreadSyncInScan() { NotImplemented(); }
int MODEL::WriteAO(int, int, float) { return NotImplemented(); }
int MODEL::WriteAOHEX(int, int, int) { return NotImplemented(); }
int MODEL::GetEncoderMode(int, int* a, int* b, int* c) {
  Clear(a);
  Clear(b);
  Clear(c);
  return NotImplemented();
}
int MODEL::SetEncoderMode(int, int, int, int) { return NotImplemented(); }
int MODEL::ReadEncoder(int, unsigned int*) { return NotImplemented(); }
int MODEL::ClearEncoder(int) { return NotImplemented(); }
int MODEL::GetModuleTable(int* count, char* text) {
  // The application reads count after a call that reports success: leave it defined.
  Clear(count);
  ClearText(text);
  return NotImplemented();
}
int MODEL::ConfigTrigOut(int, int) { return NotImplemented(); }
int MODEL::Init_Software_Filter(int, int, int) { return NotImplemented(); }
int MODEL::Set_LowPassFilter(int, int, float) { return NotImplemented(); }
int MODEL::Set_HighPassFilter(int, int, float) { return NotImplemented(); }
int MODEL::Set_BandPassFilter(int, int, float, float) { return NotImplemented(); }
int MODEL::Set_BandStopFilter(int, int, float, float) { return NotImplemented(); }
int MODEL::Filter_Data(unsigned int, float*) { return NotImplemented(); }
int MODEL::Filter_DataHEX(unsigned int, unsigned int*) { return NotImplemented(); }

}  // namespace nivex
