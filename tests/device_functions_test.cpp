// The exported device functions on open modules (emulated): names and versions, the raw
// exchange, and the functions whose result is 1 for every valid handle.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "nivex.h"
#include "tests/common/DeviceFixture.h"
#include "tests/common/TestSupport.h"

// The examples of docs/examples.
extern "C" {
int digital_io_example(void* h);
int analog_output_example(void* h);
int encoder_example(void* h);
int analog_trigger_example(void* h);
int slot_trigger_example(void* h);
int software_filter_example(void* h);
int sync_in_example(void* h);
}

namespace {

using namespace nivex::test;
using nivex::emu::FaultKind;
using nivex::emu::Model;

TEST(DeviceFunctions, NamesAndVersions) {
  char sdk[QZ_SDK_VERSION_SIZE];
  QZ_GetSDKVersion(sdk);
  EXPECT_STREQ(sdk, "1.2.2.3");

  Device d(Model::RX5K30, [](nivex::emu::Options& o) {
    o.firmwareVersion = 0x1A3;
    o.firmwareDate = "2024/01/02 10:11:12 and more text";  // cut to 25 characters
  });
  ASSERT_TRUE(d.ok());
  char name[QZ_MODEL_NAME_SIZE];
  EXPECT_EQ(QZ_GetModelName(d.h(), name), 1);
  EXPECT_STREQ(name, "RX-5K30");
  char fw[QZ_FIRMWARE_VERSION_SIZE];
  EXPECT_EQ(QZ_GetFirmwareVersion(d.h(), fw), 1);
  EXPECT_STREQ(fw, "V1A3,2024/01/02 10:11:12 and m");
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_GetModelName(d.h(), nullptr), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_TRUE(d.Take().empty());  // names and versions are held by the host
}

TEST(DeviceFunctions, HardwareVersion) {
  Device d(Model::RX5K10);
  ASSERT_TRUE(d.ok());
  char text[QZ_HW_VERSION_SIZE];
  EXPECT_EQ(QZ_GetHWFirmwareVersion(d.h(), text), 1);
  EXPECT_STREQ(text, "Vc");  // "!12": twelve in hexadecimal
  EXPECT_EQ(d.Take(), Strings{"$01F"});
  d.emu().SetHwVersionText("5000000000");  // beyond an int: 0 on every build
  EXPECT_EQ(QZ_GetHWFirmwareVersion(d.h(), text), 1);
  EXPECT_STREQ(text, "V0");
  d.emu().SetHwVersionText("");  // a reply of the lead character alone
  EXPECT_EQ(QZ_GetHWFirmwareVersion(d.h(), text), 1);
  EXPECT_STREQ(text, "V0");

  // A refusal or no reply: still 1, with an empty text rather than a stale or made-up one.
  for (FaultKind kind : {FaultKind::Refuse, FaultKind::NoReply}) {
    d.AddFault("$01F", kind);
    std::strcpy(text, "stale");
    EXPECT_EQ(QZ_GetHWFirmwareVersion(d.h(), text), 1);
    EXPECT_STREQ(text, "");
  }
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_DEVICE_READ_TIMEOUT);
}

TEST(DeviceFunctions, RawExchange) {
  // The raw exchange reaches the command port of every kind of module.
  for (Model m : {Model::RXBN500, Model::D4071s, Model::D3054s}) {
    Device d(m);
    ASSERT_TRUE(d.ok()) << nivex::emu::ModelText(m);
    char reply[QZ_REPLY_SIZE];
    d.Reply("~01XYZ", "!01RAW");
    ASSERT_EQ(QZ_SendRecv(d.h(), "~01XYZ", reply, 1000), 1);
    EXPECT_STREQ(reply, "!01RAW");
  }
  Device d(Model::RXBN500);
  ASSERT_TRUE(d.ok());
  char reply[QZ_REPLY_SIZE];
  ASSERT_EQ(QZ_SendRecv(d.h(), "$01F", reply, 1000), 1);
  EXPECT_STREQ(reply, "!12");
  // The time-out is the caller's (joining and time-outs are the exchange's own tests).
  d.AddFault("~01N", FaultKind::NoReply);
  const long long t0 = NowMs();
  EXPECT_TRUE(FailsWith(QZ_SendRecv(d.h(), "~01N", reply, 300), QZ_ERR_DEVICE_READ_TIMEOUT));
  EXPECT_GE(NowMs() - t0, 300);

  // Refused before anything is sent.
  d.Take();
  const std::string overlong(QZ_MAX_COMMAND_LENGTH + 1, 'x');
  EXPECT_TRUE(FailsWith(QZ_SendRecv(d.h(), overlong.c_str(), reply, 1000), QZ_ERR_INVALID_ARGUMENT));
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_SendRecv(d.h(), "$01F", nullptr, 1000), QZ_ERR_INVALID_ARGUMENT));
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_SendRecv(d.h(), nullptr, reply, 1000), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_TRUE(d.Take().empty());
  EXPECT_TRUE(FailsWith(QZ_SendRecv(nullptr, "$01F", reply, 1000), QZ_ERR_INVALID_HANDLE));
}

TEST(DeviceFunctions, AlwaysOneOnAValidHandle) {
  Device bn(Model::RXBN500, [](nivex::emu::Options& o) {
    o.reboot = nivex::emu::RebootBehaviour::Silent;
  });
  ASSERT_TRUE(bn.ok());
  // Operations the type lacks still give 1 and leave their error.
  QZ_ClearLastError();
  EXPECT_EQ(QZ_SetEventCallback(bn.h(), 1, 0, nullptr, nullptr), 1);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(QZ_RemoveEventCallback(bn.h(), 1), 1);
  EXPECT_EQ(QZ_Configure_Trig_Out(bn.h(), 1, 0), 1);
  int count = 7;
  char types[8] = "abcdefg";
  QZ_ClearLastError();
  EXPECT_EQ(QZ_Get_Module_Count(bn.h(), &count, types), 1);
  EXPECT_EQ(QZ_GetLastError(), QZ_ERR_NOT_IMPLEMENTED);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(QZ_Reboot(bn.h()), 1);  // a module that does not answer

  // An unknown handle fails them with 0x1300A and leaves the outputs alone.
  int junk = 0, value = 1234;
  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_Reboot(&junk), QZ_ERR_INVALID_HANDLE));
  EXPECT_EQ(QZ_GetConfig(&junk, 4, 1, &value), 0);
  EXPECT_EQ(value, 1234);
  char fw[QZ_FIRMWARE_VERSION_SIZE] = "keep";
  EXPECT_EQ(QZ_GetFirmwareVersion(&junk, fw), 0);
  EXPECT_STREQ(fw, "keep");

  QZ_ClearLastError();
  EXPECT_TRUE(FailsWith(QZ_GetConfig(bn.h(), 4, 1, nullptr), QZ_ERR_INVALID_ARGUMENT));
  EXPECT_EQ(QZ_Get_Module_Count(bn.h(), nullptr, types), 0);
}

// Each example of docs/examples runs through on a type that has its functions.
TEST(DeviceFunctions, TheDocumentedExamplesRunOnTheirTypes) {
  const std::pair<Model, int (*)(void*)> examples[] = {
      {Model::RX5K10, digital_io_example},     {Model::RX5K30, analog_output_example},
      {Model::RX5K30, encoder_example},        {Model::RX5K10, analog_trigger_example},
      {Model::RX5K30, analog_trigger_example}, {Model::RXBN500, analog_trigger_example},
      {Model::D4071s, slot_trigger_example},   {Model::RXBN500, software_filter_example},
      {Model::RX5K10, sync_in_example}};
  for (const auto& [model, example] : examples) {
    Device d(model);
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(example(d.h()), 1) << nivex::emu::ModelText(model) << std::hex << " error 0x"
                                 << QZ_GetLastError();
    QZ_StopAIScan(d.h());
  }
}

}  // namespace
