#include "platform/system_error_text.h"

#include <locale.h>

#include <cerrno>
#include <cstring>

namespace platform {
namespace {

// The Winsock numbers our own code keeps (the TFTP service's log texts use them), as errno.
int ToErrno(int error) {
    switch (error) {
        case 10013:
            return EACCES;
        case 10022:
            return EINVAL;
        case 10048:
            return EADDRINUSE;
        case 10049:
            return EADDRNOTAVAIL;
        default:
            return error;
    }
}

struct ChineseText {
    int error;
    const char* text;
};
// The errors a start or a results file meets, worded as the system's Chinese translation words them.
const ChineseText kChinese[] = {
    {ENOENT, "没有那个文件或目录"},
    {EACCES, "权限不够"},
    {EPERM, "不允许的操作"},
    {ENOTDIR, "不是目录"},
    {EISDIR, "是一个目录"},
    {EROFS, "只读文件系统"},
    {ENOSPC, "设备上没有空间"},
    {EDQUOT, "超出磁盘限额"},
    {EIO, "输入/输出错误"},
    {ENAMETOOLONG, "文件名过长"},
    {EEXIST, "文件已存在"},
    {EINVAL, "无效的参数"},
    {EBUSY, "设备或资源忙"},
    {EAGAIN, "资源暂时不可用"},
    {ENOMEM, "无法分配内存"},
    {EMFILE, "打开的文件过多"},
    {ENFILE, "系统中打开的文件过多"},
    {EADDRINUSE, "地址已在使用"},
    {EADDRNOTAVAIL, "无法指定被请求的地址"},
    {ENODEV, "没有那个设备"},
    {ENETDOWN, "网络已关闭"},
    {ENETUNREACH, "网络不可达"},
};

bool IsAscii(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80) return false;
    }
    return true;
}

}  // namespace

std::string SystemErrorText(int error, bool english) {
    static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    static const locale_t zh = newlocale(LC_ALL_MASK, "zh_CN.UTF-8", static_cast<locale_t>(nullptr));
    if (error == 11001) return english ? "Host not found" : "找不到主机";
    error = ToErrno(error);
    if (english) return c != static_cast<locale_t>(nullptr) ? strerror_l(error, c) : std::strerror(error);
    // A host may have the locale without the C library's translations: then the text is English.
    if (zh != static_cast<locale_t>(nullptr)) {
        const char* text = strerror_l(error, zh);
        if (!IsAscii(text)) return text;
    }
    for (const ChineseText& known : kChinese) {
        if (known.error == error) return known.text;
    }
    return "系统错误 " + std::to_string(error);
}

}  // namespace platform
