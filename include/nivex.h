/*
 * nivex.h - the public interface of the NIVEX data-acquisition kit.
 *
 * Plain C (C99 or later, or C++). Every function returns 1 for success and 0 for
 * failure unless its comment says otherwise; the reason for a failure is the
 * calling thread's last error (QZ_GetLastError) and its text (QZ_GetFaultText).
 */
#ifndef NIVEX_H
#define NIVEX_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define QZ_API __attribute__((visibility("default")))
#else
#define QZ_API
#endif

/* ------------------------------------------------------------------ error codes */
/*
 * A failed call leaves one of these codes as the calling thread's last error
 * (QZ_GetLastError). QZ_GetFaultText gives the texts the module family has always given:
 * the codes of the first list have a text of their own, those of the second list (and any
 * other number) read "Unknow error code!". The comment beside each code tells what it means
 * and which functions give it; "not set by this kit" codes exist for their text only. A
 * scan, logger or download worker keeps its codes under its own thread: the application
 * learns of its outcome through the ring status (QZ_BUF_*), not through its last error.
 */
/* Codes with a message text. */
#define QZ_ERR_UNKNOWN                0x1     /* not set by this kit */
#define QZ_ERR_SLOT_REGISTERED        0x13001 /* not set by this kit */
#define QZ_ERR_SLOT_NOT_REGISTERED    0x13002 /* not set by this kit */
/* A stored log of a module type whose codes have no conversion (QZ_Calibrate_Data_HEX and
 * QZ_Calibrate_Data_Float on a D3054s log). */
#define QZ_ERR_UNKNOWN_MODULE         0x13003
#define QZ_ERR_INVALID_MAC_ADDRESS    0x13004 /* not set by this kit */
#define QZ_ERR_INVALID_COM_PORT       0x13005 /* not set by this kit */
/* The function is not supported at all: the wide-path functions (QZ_GetAllLogFilesW,
 * QZ_LogFile_Open_byIndexW, QZ_StartLoggerW, QZ_DownloadSDFileW), QZ_GetLogFile_AIData on a
 * log that is not a text log, QZ_GetLogFile_AIDataHex on one that is not binary. */
#define QZ_ERR_FUNCTION_NOT_SUPPORTED 0x13006
/* QZ_Device_Create: the module at the address is none of the known types (its name service
 * gave no known name). */
#define QZ_ERR_MODULE_NOT_EXIST       0x13007
#define QZ_ERR_INVALID_SLOT           0x13008 /* not set by this kit */
#define QZ_ERR_EEPROM_ADDRESS         0x14001 /* not set by this kit */
#define QZ_ERR_SRAM_ADDRESS           0x14002 /* not set by this kit */
#define QZ_ERR_MEMORY_TYPE            0x14003 /* not set by this kit */
#define QZ_ERR_NVRAM_ADDRESS          0x14004 /* not set by this kit */
#define QZ_ERR_EEPROM_WRITE_PROTECTED 0x14005 /* not set by this kit */
#define QZ_ERR_EEPROM_WRITE           0x14006 /* not set by this kit */
#define QZ_ERR_EEPROM_READ            0x14007 /* not set by this kit */
#define QZ_ERR_WATCHDOG_VALUE         0x15001 /* not set by this kit */
#define QZ_ERR_WATCHDOG_MISSING       0x15002 /* not set by this kit */
#define QZ_ERR_WATCHDOG_BASE_ADDRESS  0x15003 /* not set by this kit */
#define QZ_ERR_WATCHDOG_OS_STARTUP    0x15004 /* not set by this kit */
#define QZ_ERR_DEVICE_CHECKSUM        0x17001 /* not set by this kit */
/* No complete reply within the time-out (QZ_SendRecv with its own time-out; the kit's calls
 * mostly report such a failure as QZ_ERR_DEVICE_RESPONSE). */
#define QZ_ERR_DEVICE_READ_TIMEOUT    0x17002
/* The module refused the command ("?"), did not answer within the time-out, or answered with
 * a reply of the wrong length or form: any call that talks to the module. */
#define QZ_ERR_DEVICE_RESPONSE        0x17003
#define QZ_ERR_DEVICE_UNDER_RANGE     0x17004 /* not set by this kit */
#define QZ_ERR_DEVICE_OVER_RANGE      0x17005 /* not set by this kit */
/* QZ_Device_Create: the address is open already, or the module cannot be reached, a port
 * refuses the connection, a command of the open gets no reply, or the calibration does not
 * load (the open then stops and fails within about two time-outs). Also the command after one
 * left unanswered (QZ_SendRecv): that command goes out on a new command connection, and the
 * module cannot be reached for it. */
#define QZ_ERR_OPEN_DEVICE            0x17006
#define QZ_ERR_MODEM_STATUS           0x17007 /* not set by this kit */
/* A reply field that is not the number it should be (counters, trigger index, SD-card
 * listing, configuration items). */
#define QZ_ERR_INVALID_VALUE          0x17008
/* An answer longer than the caller's room: QZ_GetSyncInScanParam with a capacity below the
 * layout's item count, an SD-card description longer than its buffer. */
#define QZ_ERR_BUFFER_OVERFLOW        0x17009
/* The command could not be sent (the connection is gone). */
#define QZ_ERR_DEVICE_SEND            0x1700A
#define QZ_ERR_CARD_UNSUPPORTED_API   0x18001 /* not set by this kit */
#define QZ_ERR_API_UNSUPPORTED_CARD   0x18002 /* not set by this kit */
#define QZ_ERR_SLOT_RANGE             0x18003 /* not set by the QZ_ functions */
#define QZ_ERR_CHANNEL_VALUE_RANGE    0x18004 /* not set by this kit */
/* A gain code (or analog output range) the module type does not have: reads, writes, scan
 * parameters, conversions. */
#define QZ_ERR_GAIN_RANGE             0x18005
/* QZ_SetAIScanParam: a trigger mode the module type does not have (see docs/modules.md). */
#define QZ_ERR_TRIGGER_MODE           0x18006
/* QZ_SetAIScanParam: a rate outside the type's rates, a target above its maximum, a transfer
 * mode it does not take; QZ_SetEncoderMode: a mode or setting out of range. */
#define QZ_ERR_VALUE_RANGE            0x18007
/* A channel or channel count outside the module's inputs; a scan started without a channel
 * count it can run (also a rate below 1). */
#define QZ_ERR_CHANNEL_RANGE          0x18008
#define QZ_ERR_DO_OVERWRITE           0x1800A /* not set by this kit */
#define QZ_ERR_AO_OVERWRITE           0x1800B /* not set by this kit */

/* Codes set by the kit without a text of their own: QZ_GetFaultText gives
 * "Unknow error code!" for each. */
/* The handle is not an open device or log (NULL, released, closed, any other pointer); on a
 * D4071s also an analog-trigger level command the module left unanswered. */
#define QZ_ERR_INVALID_HANDLE         0x1300A
/* An argument the function does not take: a NULL output, a connection text that is not an
 * address (QZ_Device_Create), a command too long (QZ_SendRecv), a configuration item the
 * type does not have, a folder too long for the log paths. */
#define QZ_ERR_INVALID_ARGUMENT       0x1300C
/* The host buffer of a scan, a log or a sync-in read could not be allocated. */
#define QZ_ERR_BUFFER_ALLOC           0x1300E
/* A stored log or its ".config" file does not open or read, or the logger cannot make its
 * folders or its ".config" file (QZ_StartLogger). */
#define QZ_ERR_LOG_FILE_OPEN          0x14102
/* QZ_SetAIScanParam: the parameters conflict: a continuous software-triggered scan above the
 * type's live limit (channels x rate too high: give a target), or a trigger mode that needs a
 * target given none. */
#define QZ_ERR_SCAN_PARAM_CONFLICT    0x1800C
/* QZ_SetAIDelayTriggerParam: a delay outside 5 to 10,000,000. */
#define QZ_ERR_DELAY_TRIGGER_RANGE    0x1800D
/* QZ_SetAIAnalogTriggerParam: a trigger type outside 0-3. */
#define QZ_ERR_TRIGGER_TYPE           0x1800E
/* QZ_SetAIAnalogTriggerParam: an enabled channel's level outside the range of the gain code
 * set last, or one its calibration cannot convert. */
#define QZ_ERR_TRIGGER_LEVEL          0x1800F
/* QZ_SetAIAnalogTriggerParam: pre + post is not the scan's target count. */
#define QZ_ERR_TRIGGER_COUNT          0x18010
/* Busy: a scan or log has not been stopped (QZ_StartAIScan, QZ_StartLogger), or the scan
 * worker is inside a data receive (one-shot reads and I/O, SD-card functions). */
#define QZ_ERR_DEVICE_BUSY            0x18011
/* A configuration command the module did not take, or an item of kind 5 the type does not
 * have (QZ_SetConfig, QZ_GetConfig). */
#define QZ_ERR_CONFIG_COMMAND         0x19002
/* The module type does not have this function (docs/modules.md lists them per type). */
#define QZ_ERR_NOT_IMPLEMENTED        0xFFFFF

/* The longest message text has 43 characters: a text buffer needs 44 bytes. */
#define QZ_FAULT_TEXT_SIZE 44

/* Sync-in option bits. */
#define QZ_SYNCIN_ENABLE 0x1 /* bit 0: sync-in scanning enabled */

/* Bits of the host ring's status word (QZ_GetAIBufferStatus, QZ_GetTotalSamplingStatus). */
#define QZ_BUF_DATA           0x01 /* the ring holds samples */
#define QZ_BUF_OVERFLOW       0x02 /* samples were dropped: the ring was full */
#define QZ_BUF_SCAN_ENDED     0x04 /* the scan worker has ended */
#define QZ_BUF_SCAN_TIMEOUT   0x08 /* the scan ended because the module stayed silent */
#define QZ_BUF_LOG_ENDED      0x10 /* the logger or download worker has ended */
#define QZ_BUF_LOG_TIMEOUT    0x20 /* the logger or download ended on a time-out */
#define QZ_BUF_LOG_STARTED    0x40 /* the logger received its first data */
#define QZ_BUF_TARGET_REACHED 0x80 /* the target sample count has been received */

/* Event bits (the mask of QZ_SetEventCallback). */
#define QZ_EVENT_RECV_ERROR 0x01
#define QZ_EVENT_SCAN_DONE  0x02
#define QZ_EVENT_TIMEOUT    0x04
#define QZ_EVENT_OVERFLOW   0x08
#define QZ_EVENT_LOG_DONE   0x10

/* ------------------------------------------------------------------ errors */
/* The calling thread's last error code, 0 when none. */
QZ_API int QZ_GetLastError(void);
/* Sets the calling thread's last error code. */
QZ_API void QZ_SetLastError(unsigned int code);
/* Clears the calling thread's last error code. */
QZ_API void QZ_ClearLastError(void);
/* Writes the message text of a code into text (at least QZ_FAULT_TEXT_SIZE bytes). */
QZ_API void QZ_GetFaultText(unsigned int code, char *text);

/* ------------------------------------------------------------------ devices */
/*
 * A device handle is an opaque pointer returned by QZ_Device_Create. Every function that
 * takes one fails with QZ_ERR_INVALID_HANDLE (result 0) for NULL, for a pointer that is not
 * an open device and for a released handle. A null text or output pointer that a function
 * would write gives QZ_ERR_INVALID_ARGUMENT (result 0).
 */

/* Sizes of the text buffers the device functions write (NUL included). */
#define QZ_SDK_VERSION_SIZE      8   /* QZ_GetSDKVersion */
#define QZ_MODEL_NAME_SIZE       20  /* QZ_GetModelName */
#define QZ_FIRMWARE_VERSION_SIZE 32  /* QZ_GetFirmwareVersion */
#define QZ_HW_VERSION_SIZE       48  /* QZ_GetHWFirmwareVersion */
#define QZ_REPLY_SIZE            256 /* QZ_SendRecv reply */
#define QZ_MAX_COMMAND_LENGTH    254 /* QZ_SendRecv command, in characters */

/*
 * Opens the module named by connection: "ip", "ip,commandPort" or "ip,commandPort,dataPort"
 * (ports 9999 and 10010 when not given; empty fields are skipped; at most 77 characters,
 * each field at most 19). Returns the device handle, or NULL with QZ_ERR_INVALID_ARGUMENT
 * (a text refused before any traffic: not a dotted IPv4 address, a port that is not a number
 * from 1 to 65535, more than three fields, too long), QZ_ERR_OPEN_DEVICE (the address is
 * open already, or the module cannot be reached or connected) or QZ_ERR_MODULE_NOT_EXIST
 * (no known module answers).
 */
QZ_API void *QZ_Device_Create(const char *connection);
/*
 * Stops the device, closes its connections and frees it; from its start on the handle fails
 * every new call with QZ_ERR_INVALID_HANDLE (a second release too). Calls on the same handle
 * in progress in other threads are waited for, as long as they last (a reply awaited up to
 * its time-out, a scan stop), before the device is freed.
 */
QZ_API int QZ_Device_Release(void *handle);
/*
 * Sends command (at most QZ_MAX_COMMAND_LENGTH characters, a carriage return is added) and
 * writes the module's reply line without its carriage return into reply (QZ_REPLY_SIZE
 * bytes). 1 on success; 0 with QZ_ERR_DEVICE_SEND or QZ_ERR_DEVICE_READ_TIMEOUT (no reply
 * within timeoutMs milliseconds).
 */
QZ_API int QZ_SendRecv(void *handle, const char *command, char *reply, int timeoutMs);
/* Writes the kit's version text "1.2.2.3" (QZ_SDK_VERSION_SIZE bytes). */
QZ_API void QZ_GetSDKVersion(char *text);
/* Writes the module's model name (QZ_MODEL_NAME_SIZE bytes): "RX-5K10", "RX-5K30", "RX-BN500",
 * "D4071s" or "D3054Ws"; 1. */
QZ_API int QZ_GetModelName(void *handle, char *text);
/* Writes "V%X,%s" of the firmware version and date (QZ_FIRMWARE_VERSION_SIZE bytes); 1. */
QZ_API int QZ_GetFirmwareVersion(void *handle, char *text);
/*
 * Writes the module's hardware version text (QZ_HW_VERSION_SIZE bytes; empty when the module
 * does not tell it); 1.
 */
QZ_API int QZ_GetHWFirmwareVersion(void *handle, char *text);
/* Sets / reads the configuration item (kind, item). */
QZ_API int QZ_SetConfig(void *handle, int kind, int item, int value);
QZ_API int QZ_GetConfig(void *handle, int kind, int item, int *value);
/* Registers / removes the event callback; 1. The mask, the argument and a non-null callback
 * are stored (RX5K10, RX5K30); no callback is ever called. */
QZ_API int QZ_SetEventCallback(void *handle, unsigned short mask, unsigned short second,
                               void *callback, void *userArgument);
QZ_API int QZ_RemoveEventCallback(void *handle, unsigned short mask);
/* Asks the module to restart; 1 (the module does not answer). */
QZ_API int QZ_Reboot(void *handle);
/* Slot carriers: the slot count and one card type byte per slot (types: 8 bytes); 1. */
QZ_API int QZ_Get_Module_Count(void *handle, int *count, char *types);
/* Slot carriers: configures the trigger output; 1. */
QZ_API int QZ_Configure_Trig_Out(void *handle, int a, int b);

/* ------------------------------------------------------------------ single-shot I/O */
/*
 * One-shot reads and writes outside a scan. Channel, gain and count arguments are checked
 * against the module: QZ_ERR_CHANNEL_RANGE for a channel or count out of range,
 * QZ_ERR_GAIN_RANGE for a gain code out of range; a module type without the operation gives
 * QZ_ERR_NOT_IMPLEMENTED; QZ_ERR_DEVICE_BUSY while a scan is inside a data receive (RX5K10 and
 * RX5K30 then answer the analog reads with the values read last); QZ_ERR_DEVICE_RESPONSE when
 * the module refuses or does not answer.
 */
/* Volts of one input (output untouched on every failure). */
QZ_API int QZ_ReadAI(void *handle, int channel, int gain, float *volts);
/* Volts of inputs 0..count-1 (a gain error clears the count entries). */
QZ_API int QZ_ReadAIALL(void *handle, int gain, float *volts, int count);
/* Calibrated code of one input (cleared on a handle, channel or gain error). */
QZ_API int QZ_ReadAIHEX(void *handle, int channel, int gain, int *code);
/* Calibrated codes of inputs 0..count-1 (a count or gain error clears the count entries). */
QZ_API int QZ_ReadAIALLHEX(void *handle, int gain, int *codes, int count);
/* Analog output in volts / as a 16-bit code (RX5K30: channel 0-1, range 0-3). */
QZ_API int QZ_WriteAO(void *handle, int channel, int range, float value);
QZ_API int QZ_WriteAOHEX(void *handle, int channel, int range, int code);
/* Digital inputs and outputs (both cleared for an invalid handle). */
QZ_API int QZ_ReadDIO(void *handle, unsigned int *di, unsigned int *dout);
/* All digital outputs (value 0-15) / one output bit (the low byte of on decides). */
QZ_API int QZ_WriteDO(void *handle, unsigned int value);
QZ_API int QZ_WriteDOBit(void *handle, int bit, int on);
/* Encoder 0 (RX5K30): mode 0-2, first setting 0-8, second setting 0-3; count. */
QZ_API int QZ_GetEncoderMode(void *handle, int channel, int *mode, int *first, int *second);
QZ_API int QZ_SetEncoderMode(void *handle, int channel, int mode, int first, int second);
QZ_API int QZ_ReadEncoder(void *handle, int channel, unsigned int *count);
QZ_API int QZ_ClearEncoder(void *handle, int channel);
/* DI counters (RX5K10: 0-3) and the counter (RX5K10: 0): mode bits and preset value. The
 * reserved output is always written 0 for a valid handle; the reserved input is ignored. */
QZ_API int QZ_GetDICNTConfig(void *handle, int channel, unsigned int *mode, unsigned int *value,
                             unsigned int *reserved);
QZ_API int QZ_SetDICNTConfig(void *handle, int channel, unsigned int mode, unsigned int value,
                             unsigned int reserved);
QZ_API int QZ_GetCounterConfig(void *handle, int channel, unsigned int *mode,
                               unsigned int *value, unsigned int *reserved);
QZ_API int QZ_SetCounterConfig(void *handle, int channel, unsigned int mode, unsigned int value,
                               unsigned int reserved);
QZ_API int QZ_GetDICNT(void *handle, int channel, unsigned int *value);
QZ_API int QZ_GetCounter(void *handle, int channel, unsigned int *value);
QZ_API int QZ_ClearDICNT(void *handle, int channel);
QZ_API int QZ_ClearDICNTALL(void *handle);
QZ_API int QZ_ClearCounter(void *handle, int channel);
QZ_API int QZ_ClearCounterALL(void *handle);
/* The first n counts (n from 1 to the counter count). */
QZ_API int QZ_GetDICNTAll(void *handle, unsigned int *values, int n);
QZ_API int QZ_GetCounterAll(void *handle, unsigned int *values, int n);
/* The module's calibration gain and offset of (channel, gain code); RX5K30 channels 4-5 are
 * the analog outputs with their range codes. */
QZ_API int QZ_ReadGainOffset(void *handle, int channel, int gain, unsigned short *g, short *o);
/*
 * Converts a raw code into a calibrated code / volts with the calibration of a device handle
 * or of a stored-log handle (the same arithmetic for both). NULL or a pointer that is neither
 * gives QZ_ERR_INVALID_HANDLE.
 */
QZ_API int QZ_Calibrate_Data_HEX(void *handle, int channel, int gain, int code, int *out);
QZ_API int QZ_Calibrate_Data_Float(void *handle, int channel, int gain, int code, float *out);

/* ------------------------------------------------------------------ scan setup */
/*
 * Scan parameters: channel count, gain code, trigger mode, sample rate (Hz), target sample
 * count (0 = continuous), transfer mode M (0-9) and acknowledge mode A. The 24-bit modules
 * run at the reachable rate nearest to the one asked for.
 */
QZ_API int QZ_SetAIScanParam(void *handle, int channels, int gain, int trigger, int rate,
                             unsigned int target, int transferMode, int ackMode);
/* Reads the scan parameters back from the module; the target is raised to a whole number of
 * channel rows. An invalid handle clears all seven outputs. */
QZ_API int QZ_GetAIScanParam(void *handle, unsigned short *channels, unsigned short *gain,
                             unsigned short *trigger, unsigned int *rate, unsigned int *target,
                             unsigned short *transferMode, unsigned short *ackMode);
/*
 * Analog trigger: type 0-3, per channel (first n) an enable flag (1 = enabled) and the high
 * and low levels in volts, the pre- and post-trigger sample counts (their sum must equal the
 * scan's target count). Channels not enabled, and channels never set, are disabled.
 */
QZ_API int QZ_SetAIAnalogTriggerParam(void *handle, int type, char *enable, float *high,
                                      float *low, int n, unsigned int pre, unsigned int post);
/* Reads the analog trigger back; reserved is always cleared. */
QZ_API int QZ_GetAIAnalogTriggerParam(void *handle, int *type, char *enable, float *high,
                                      float *low, int n, unsigned int *pre, unsigned int *post,
                                      unsigned int *reserved);
/* Delay trigger (RX5K10): 5 to 10,000,000. */
QZ_API int QZ_SetAIDelayTriggerParam(void *handle, unsigned int delay, unsigned int reserved);
QZ_API int QZ_GetAIDelayTriggerParam(void *handle, unsigned int *delay, unsigned int *reserved);
/*
 * Sync-in frame layout (RX5K10): header kind (0-15), itemCount items (at most 7) of
 * (types[i] 0-5, counts[i] 0-255; analog items of type 0 or 1 need a count of at least 1)
 * and the option bits (QZ_SYNCIN_ENABLE forces a continuous software-triggered scan of at
 * most 10000 samples/s). A refused layout leaves the previous one in place.
 */
QZ_API int QZ_SetSyncInScanParam(void *handle, unsigned int headerKind, unsigned short *counts,
                                 unsigned short *types, unsigned short itemCount,
                                 unsigned short option, unsigned int reserved);
/* Reads the layout back (capacity entries in counts and types, below 8). */
QZ_API int QZ_GetSyncInScanParam(void *handle, unsigned int *headerKind, unsigned short *counts,
                                 unsigned short *types, unsigned short capacity,
                                 unsigned short *itemCount, unsigned int *option,
                                 unsigned int *reserved);

/* ------------------------------------------------------------------ stored logs */
/*
 * The scan logs the loggers wrote: data files below <base>/log, each run's ".config" file in
 * <base>/config. A log handle is an opaque pointer returned by an open and valid until
 * QZ_LogFile_Close; every function that takes one fails with QZ_ERR_INVALID_HANDLE (result 0,
 * nothing written) for NULL, a closed handle or any other pointer. A null output gives
 * QZ_ERR_INVALID_ARGUMENT. Listing and opening by index share one process-wide list.
 */
#ifndef __cplusplus
#include <stddef.h> /* wchar_t */
#endif

/* Sizes of the text buffers the stored-log functions write (NUL included). */
#define QZ_LOG_PATH_SIZE 260 /* QZ_LogFile_Open_byIndex */
#define QZ_LOG_NAME_SIZE 20  /* QZ_GetLogFileInfo */
#define QZ_LOG_DATE_SIZE 11  /* QZ_GetLogFile_AIScanSampleInfo: "YYYY/MM/DD" */
#define QZ_LOG_TIME_SIZE 19  /* QZ_GetLogFile_AIScanSampleInfo: "hh:mm:ss.<fraction>" */

/*
 * Lists the data files below folder (recursively) whose name ends in extension `type` (0 ".bin",
 * 1 ".txt", 2 ".csv", 3 ".tdm", 4 ".xls", 5 ".md", 6 ".qzd", 7-13 the same in upper case) and
 * pairs each with its ".config" file; returns how many were listed (the list is replaced).
 */
QZ_API int QZ_GetAllLogFiles(const char *folder, int type);
/*
 * Opens entry index of the last listing and writes its data-file path into logPath
 * (QZ_LOG_PATH_SIZE bytes; may be NULL). NULL, error code unchanged, when there is no such
 * entry; NULL with QZ_ERR_LOG_FILE_OPEN when its ".config" file is missing, empty or names no
 * module, or its data file does not open. An upper-case listing (types 7-13) opens no data file.
 */
QZ_API void *QZ_LogFile_Open_byIndex(int index, char *logPath);
/*
 * Opens the log whose data file is logPath (at most 259 bytes): its ".config" file is the one
 * named for the same address and tag in the base's config folder, or else within the three
 * folders above the data file's folder. NULL with QZ_ERR_LOG_FILE_OPEN when the data file does
 * not exist, its name is not a log-file name, or no readable ".config" file is found.
 */
QZ_API void *QZ_LogFile_Open(const char *logPath);
/* QZ_LogFile_Open with a wide path (converted in the current locale). */
QZ_API void *QZ_LogFile_OpenW(const wchar_t *logPath);
/* Not supported: QZ_ERR_FUNCTION_NOT_SUPPORTED, 0 / NULL. */
QZ_API int QZ_GetAllLogFilesW(const wchar_t *folder, int type);
QZ_API void *QZ_LogFile_Open_byIndexW(int index, wchar_t *logPath);
/* Closes a log handle; 1 (also for NULL, a closed handle or any other pointer: nothing done). */
QZ_API int QZ_LogFile_Close(void *handle);
/*
 * The module name (QZ_LOG_NAME_SIZE bytes), the data file's type (as in the listing; by path
 * an upper-case extension gives its lower-case type) and length in bytes (held to 0xFFFFFFFF);
 * reserved (may be NULL) is written 0. 0 with QZ_ERR_LOG_FILE_OPEN and size 0 for a log
 * without a binary (0) or text (1) data file. On a text log this restarts the reading of
 * QZ_GetLogFile_AIData at the first value.
 */
QZ_API int QZ_GetLogFileInfo(void *handle, char *name, unsigned int *size, unsigned int *type,
                             unsigned int *reserved);
/* The scan settings of the log's ".config" file (0 for a key the file lacks). */
QZ_API int QZ_GetLogFile_AIScanConfigInfo(void *handle, unsigned short *channelCount,
                                          unsigned short *gain, unsigned short *externalTrigger,
                                          unsigned int *sampleRate, unsigned short *transferMode,
                                          unsigned short *syncMode);
/*
 * Calibration gain and offset (low 16 bits) of channel (0 .. the smaller of the log's channel
 * count and the module's inputs, minus 1; else QZ_ERR_CHANNEL_RANGE); gainCode is not used.
 * RX-BN500 logs keep a range and a 32-bit offset per channel instead: gain reads 0.
 */
QZ_API int QZ_GetLogFile_GainOffset(void *handle, int channel, int gainCode,
                                    unsigned short *gain, unsigned short *offset);
/*
 * The number of samples in the data file (binary: length / 2 for 16-bit modules, / 4 for the
 * 24-bit ones; text: channel count x lines, after which the reading of QZ_GetLogFile_AIData
 * starts again at the first value; held to 0xFFFFFFFF; other types: left as it was) and the
 * run's start time as the module told it: date "YYYY/MM/DD" (QZ_LOG_DATE_SIZE bytes) and time
 * "hh:mm:ss.<fraction as written>" (QZ_LOG_TIME_SIZE bytes); zeros when the log has none.
 */
QZ_API int QZ_GetLogFile_AIScanSampleInfo(void *handle, unsigned int *sampleCount, char *date,
                                          char *time);
/*
 * Text logs: reads the next values (volts) into values, at most count of them, and returns how
 * many were stored; the next call goes on after the last one (start is not used). 0 at the end
 * of the file; 0 with QZ_ERR_FUNCTION_NOT_SUPPORTED for a log that is not a text log. A value
 * at the end of a file still being written (no ',' or line end after it yet) is left for a
 * later call, which reads it whole.
 */
QZ_API int QZ_GetLogFile_AIData(void *handle, unsigned int start, unsigned int count,
                                float *values);
/*
 * Binary logs: reads up to count samples from sample position start into samples (each in a
 * 32-bit slot; 16-bit samples in its low half, zero-extended) and returns how many were read
 * (fewer at the end of the file). 0 with QZ_ERR_FUNCTION_NOT_SUPPORTED for a log that is not
 * a binary log.
 */
QZ_API int QZ_GetLogFile_AIDataHex(void *handle, unsigned int start, unsigned int count,
                                   void *samples);

/* ------------------------------------------------------------------ scans */
/*
 * Starts a scan with the scan parameters set last: the host's worker receives the module's
 * samples into the host ring, which the buffer functions below drain. 0 with
 * QZ_ERR_DEVICE_BUSY while a scan (also one that has ended by itself) has not been stopped,
 * with QZ_ERR_CHANNEL_RANGE for a channel count outside the module's inputs or a rate below 1
 * (slot carriers: scan parameters never set; their rate is not checked), with
 * QZ_ERR_BUFFER_ALLOC when the ring cannot be had; 0 without a code when the module is not
 * connected.
 */
QZ_API int QZ_StartAIScan(void *handle);
/* Stops the module and the host's worker and frees the ring (its status and size stay
 * readable); 0 when the module is not connected. */
QZ_API int QZ_StopAIScan(void *handle);
/* The ring's status word (QZ_BUF_* bits) and, when it is not 0, the samples in the ring; 1.
 * An invalid handle clears both. */
QZ_API int QZ_GetAIBufferStatus(void *handle, unsigned short *status, unsigned int *size);
/* Takes up to n samples from the ring as raw codes (16-bit codes sign-extended), through the
 * software filters; returns the number taken. An invalid handle clears codes[0]. */
QZ_API int QZ_GetAIBufferHex(void *handle, unsigned int *codes, unsigned int n);
/* Takes up to n samples from the ring in volts, through the software filters; returns the
 * number taken. An invalid handle clears volts[0]. */
QZ_API int QZ_GetAIBuffer(void *handle, float *volts, unsigned int n);
/* Empties the ring and zeroes its status word; 1. The slot carriers (D4071s, D3054s) have no
 * clear: their ring and status stay as they are; 1, with QZ_ERR_NOT_IMPLEMENTED as the last
 * error. */
QZ_API int QZ_ClearAIBuffer(void *handle);
/* The ring's status word and a total: the samples the host received when the status is not 0,
 * else the module's own count of its last buffered run; 1 (outputs untouched on an invalid
 * handle). */
QZ_API int QZ_GetTotalSamplingStatus(void *handle, unsigned int *total, unsigned int *status);
/* Asks the module to send the samples it has buffered ("~01E"). */
QZ_API int QZ_TransmitDataCmd(void *handle);

/* ------------------------------------------------------------------ SD-card recordings */
/* Size of the date text that QZ_GetSDLogFile_Info writes (NUL included). */
#define QZ_SD_DATE_SIZE 256

/*
 * The number of recordings on the module's SD card. 0 with QZ_ERR_DEVICE_BUSY while the host
 * is receiving a stream, QZ_ERR_DEVICE_RESPONSE when the module refuses or does not answer,
 * QZ_ERR_INVALID_VALUE for an answer without a count; count is then left as it was.
 */
QZ_API int QZ_GetSDAllLogFiles(void *handle, unsigned int *count);
/*
 * The description of recording `index` (0-99999999): the module's first number, the
 * recording's sample count and its date "Y/M/D-h:m:s:" (QZ_SD_DATE_SIZE bytes). Fails as
 * QZ_GetSDAllLogFiles (QZ_ERR_INVALID_VALUE for an answer missing a field), with
 * QZ_ERR_INVALID_ARGUMENT for a larger index or a NULL output; the outputs are then left.
 */
QZ_API int QZ_GetSDLogFile_Info(void *handle, unsigned int index, unsigned int *first,
                                unsigned int *samples, char *date);
/* Not supported: 0 with QZ_ERR_FUNCTION_NOT_SUPPORTED, whatever the handle. */
QZ_API int QZ_DownloadSDFileW(void *handle, unsigned int index, char selector,
                              const wchar_t *folder, int logType);
/* Does nothing and returns 0, leaving the last error as it was. */
QZ_API int QZ_DownloadAllSDFiles(void *handle, const char *folder, int logType);

/* ------------------------------------------------------------------ logger */
/*
 * Log types (the last argument of QZ_StartLogger): which files a run writes.
 *   QZ_LOG_BINARY           ".config" with the start-time line, binary ".bin" data files
 *   QZ_LOG_TEXT             ".config" with the start-time line, text ".txt" data files
 *   2 (and any other value) ".config" without the start-time line, binary ".bin" data files
 *   QZ_LOG_TEXT_NOCONFIG    no ".config", text rows in ".bin" data files
 *   QZ_LOG_BINARY_NOCONFIG  no ".config", binary ".bin" data files
 * With trigger mode 8 every type writes the received bytes unchanged into ".txt" files.
 */
#define QZ_LOG_BINARY          0
#define QZ_LOG_TEXT            1
#define QZ_LOG_TEXT_NOCONFIG   3
#define QZ_LOG_BINARY_NOCONFIG 4
/* Split modes (QZ_SetConfig(handle, 4, 1, mode)): the sub-folder of a data file below
 * <base>/log/<address with '_' for '.'>, from the time the file was started. */
#define QZ_SPLIT_NONE         0 /* none, and no new files by time */
#define QZ_SPLIT_MINUTE       1 /* YYYY_MM_DD_hh_mm */
#define QZ_SPLIT_HOUR         2 /* YYYY_MM_DD_hh */
#define QZ_SPLIT_DAY          3 /* YYYY_MM_DD */
#define QZ_SPLIT_MONTH        4 /* YYYY_MM */
#define QZ_SPLIT_FLAT         5 /* none */
#define QZ_SPLIT_WEEKDAY      6 /* YYYY_MM_w<weekday, 0 = Sunday> */
#define QZ_SPLIT_FIRST_MINUTE 7 /* the first file as QZ_SPLIT_MINUTE, the later ones as FLAT */

/*
 * Starts a logged scan with the scan parameters set last: the run's ".config" file goes into
 * <folder>/config (folder NULL: the working folder), its data files below <folder>/log, a new
 * file every minutesPerFile minutes (split mode not QZ_SPLIT_NONE), cut after a whole row. The
 * ring status word (QZ_GetAIBufferStatus) tells the progress: QZ_BUF_LOG_STARTED at the first
 * data, QZ_BUF_TARGET_REACHED when the target count is in, QZ_BUF_LOG_TIMEOUT after a stall,
 * QZ_BUF_LOG_ENDED when the run has ended. 0 with QZ_ERR_DEVICE_BUSY while a scan or log has
 * not been stopped (nothing is changed, written or sent), with QZ_ERR_CHANNEL_RANGE as
 * QZ_StartAIScan, with QZ_ERR_INVALID_ARGUMENT for a folder too long for the data-file paths
 * (259 bytes), with QZ_ERR_LOG_FILE_OPEN when the ".config" file or the folders cannot be made
 * (folder itself must exist: the kit makes the folders below it, a missing folder gives 0x14102);
 * 0 without a code when the module is not connected. Slot carriers: a D3054s logs the binary
 * types only (the text types fail with QZ_ERR_NOT_IMPLEMENTED), a D4071s does not log
 * (QZ_ERR_NOT_IMPLEMENTED).
 */
QZ_API int QZ_StartLogger(void *handle, char *folder, int minutesPerFile, int logType);
/* Not supported: 0 with QZ_ERR_FUNCTION_NOT_SUPPORTED (the handle is not checked). */
QZ_API int QZ_StartLoggerW(void *handle, wchar_t *folder, int minutesPerFile, int logType);
/* Stops the module and the host's worker (a log, or a scan with its clean-up) and closes the
 * data file; 1. 0 with QZ_ERR_LOG_FILE_OPEN (0x14102) when the run lost data to a data file
 * that could not be opened, written or closed (a full disk, the file-size limit) or that was
 * removed while written; QZ_StopAIScan tells the same. */
QZ_API int QZ_StopLogger(void *handle);

/* ------------------------------------------------------------------ software filters */
/*
 * One software filter per analog input (RX-BN500: channels 0-3), applied to the samples that
 * QZ_GetAIBuffer and QZ_GetAIBufferHex take from the host buffer. Every function returns 1
 * for a valid handle: a channel outside 0-3 changes nothing, the RX-5K10 and RX-5K30 take
 * every call and change nothing, the slot carriers leave QZ_ERR_NOT_IMPLEMENTED.
 */
/*
 * Order (even, 0-16384; any other order is ignored) and sample rate (Hz) of a channel's
 * filter. The filter passes samples unchanged until it is designed again, and the next
 * sample filtered is taken as channel 0's.
 */
QZ_API int QZ_Init_Software_Filter(void *handle, int channel, int order, int rate);
/*
 * Designs a channel's filter and stores enable: only enable 1 filters the channel, 0 keeps
 * the earlier design unused. A design needs an order that is a multiple of 4, a positive rate
 * and frequencies strictly between 0 and rate/2 (band edges in either order, distinct);
 * otherwise the filter stays as it was.
 */
QZ_API int QZ_Set_LowPassFilter(void *handle, int channel, int enable, float cutoff);
QZ_API int QZ_Set_HighPassFilter(void *handle, int channel, int enable, float cutoff);
QZ_API int QZ_Set_BandPassFilter(void *handle, int channel, int enable, float f1, float f2);
QZ_API int QZ_Set_BandStopFilter(void *handle, int channel, int enable, float f1, float f2);

/* ------------------------------------------------------------------ sync-in frames */
/*
 * A sync-in scan (RX5K10; QZ_SetSyncInScanParam with QZ_SYNCIN_ENABLE, then QZ_StartAIScan)
 * fills the host ring with frames of the layout set last: a 4-byte header (header kinds 1-3),
 * then each item, a run of `count` elements of its type (0-3: 16-bit values, 0 and 1 analog
 * codes; 4, 5: 32-bit values; values little-endian). On a module type without sync-in
 * frames the status and the readers fail with QZ_ERR_NOT_IMPLEMENTED, writing nothing; with a
 * layout of 0 bytes they give 0 without an error code.
 */
/* The ring's status word and the whole frames it holds (from the module's count while the
 * status is 0); 1. 0 with both outputs untouched for a frame size of 0. */
QZ_API int QZ_GetSyncInBufferStatus(void *handle, unsigned short *status, unsigned int *frames);
/*
 * Take up to frameCount whole frames out of the ring (a frame not yet complete stays for the
 * next read) and return how many were taken, 0 when none; frameCount 0 gives
 * QZ_ERR_INVALID_ARGUMENT. Frame f's header goes to headers[f]. Each item goes to the array of
 * its type, element k of frame f:
 *   QZ_GetSyncInBuffer: arrayX[f][k], with arrayX[f] pointing to an array of the element's
 *     width: type 1 to array1, 2 and 4 to array4, 3 and 5 to array5 (16-bit items as
 *     unsigned short, 32-bit ones as unsigned int); bit items 6 and 7 as packed bytes
 *     (count / 8, rounded up) to array2 and array3; type 0 is not kept.
 *   QZ_GetSyncInBufferDW: the same, with every arrayX[f] an array of unsigned int: a 16-bit
 *     item goes into the low 16 bits of element k (the upper 16 bits are left as they are:
 *     clear them first); type 0 goes to array1[f] as float volts of input k, at the scan's
 *     gain code (elements past the module's inputs are left as they are).
 *   QZ_GetSyncInBufferLV: flat arrays, element k of frame f at [f x count + k]: type 1 to
 *     array1, 2 and 4 to array4, 3 and 5 to array5 (16-bit items in the low 16 bits as in
 *     the DW layout); types 0, 6 and 7 are not kept.
 * Every array must hold the elements of every frame asked for; a NULL array, or a NULL entry
 * arrayX[f], skips the item. Two items of one target overwrite each other. The reserved
 * arguments are not used.
 */
QZ_API int QZ_GetSyncInBuffer(void *handle, unsigned int *headers, void **array1, void **array2,
                              void **array3, void **array4, void **array5, void *reserved1,
                              void *reserved2, unsigned int frameCount);
QZ_API int QZ_GetSyncInBufferDW(void *handle, unsigned int *headers, void **array1,
                                void **array2, void **array3, void **array4, void **array5,
                                void *reserved1, void *reserved2, unsigned int frameCount);
QZ_API int QZ_GetSyncInBufferLV(void *handle, unsigned int *headers, unsigned int *array1,
                                void *reserved2, void *reserved3, unsigned int *array4,
                                unsigned int *array5, void *reserved6, void *reserved7,
                                unsigned int frameCount);
/* QZ_ClearAIBuffer and QZ_GetTotalSamplingStatus of a sync-in scan. */
QZ_API int QZ_ClearSyncInBuffer(void *handle);
QZ_API int QZ_GetSyncInTotalSamplingStatus(void *handle, unsigned int *total,
                                           unsigned int *status);

#ifdef __cplusplus
}
#endif

#endif /* NIVEX_H */
