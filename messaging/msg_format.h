#pragma once
// The text format devices and the server speak: lines of key, colon, value, CR LF; the type
// under "Msg:". Parsing of received texts and byte-exact building of the two replies.

constexpr int MSG_TYPE_REQUEST_IPADDR = 0;
constexpr int MSG_TYPE_UNKNOWN = 13;
constexpr int kMsgTypeCount = 14;

// Keys as they appear on the wire, colon included.
constexpr const char kKeyMsg[] = "Msg:";
constexpr const char kKeyVersion[] = "Version:";
constexpr const char kKeyCseq[] = "Cseq:";
constexpr const char kKeyIpcMac[] = "IPCMac:";
constexpr const char kKeyIpaddr[] = "Ipaddr:";
constexpr const char kKeySchedule[] = "Schedule:";
constexpr const char kKeyState[] = "State:";
constexpr const char kKeyServerIp[] = "ServerIP:";
constexpr const char kKeyServerMac[] = "ServerMac:";
constexpr const char kKeyFilePath[] = "FilePath:";

// Buffer sizes with which the server reads each key; the longest accepted value is one less.
constexpr int kCseqSize = 16;
constexpr int kIpcMacSize = 64;
constexpr int kIpaddrSize = 64;
constexpr int kScheduleSize = 16;
constexpr int kStateSize = 16;
constexpr int kVersionSize = 256;
constexpr int kVersionFieldSize = 64;  // model and version number of SplitDeviceVersion
constexpr int kReplySize = 1024;

// The name after "Msg:" of each type number (0..12); 13 has none.
const char* MsgTypeName(int type);

int GetMsgType(const char* text);
bool IsRequestIpaddr(const char* text);
// 0 found (value NUL-terminated, rest of `out` zero-filled); -1 bad argument; -4 key missing;
// -3 no CR LF after the key; -2 value of outSize characters or more. `out` is untouched on failure.
int ReadFlagValue(const char* text, const char* key, int keyLen, char* out, int outSize);
// Splits "model-version[-more]" in place; a "*" in the model stands for "-". Each output has
// 64 bytes; a longer field is cut to 63 characters.
void SplitDeviceVersion(char* version, char* model, char* verNum);

// The reply to an address request when a newer file exists (eight lines). Returns the text
// length, or -1 when it does not fit `outSize` (nothing half-built is ever sent).
int BuildAddressReply(char* out, int outSize, int cseq, const char* serverMac, const char* serverIp,
                      const char* lentIp, const char* ipcMac, const char* version, const char* filePath);
// The reply when there is nothing to upgrade (three lines). Same result rule.
int BuildNoUpgradeReply(char* out, int outSize, int cseq, const char* ipcMac);
