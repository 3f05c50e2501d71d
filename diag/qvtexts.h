// qvtexts.h - every fixed text the library prints or logs (internal).
//
// The Chinese texts are GBK (code page 936) byte strings and are emitted as
// these bytes whatever the console's code page; each comment gives the text
// and its meaning. Read the console with `iconv -f GBK -t UTF-8`.
#ifndef QV_DIAG_QVTEXTS_H
#define QV_DIAG_QVTEXTS_H

namespace qvtext {

// ---- console traces (printf to standard output) ----

// Codec wrote a frame; the frame length (payload + 4).
constexpr char kTraceFrameEncoded[] = "%d \n";
// "缓冲区满，请再次输入！\n": buffer full, please enter it again.
constexpr char kTraceBufferFull[] =
    "\xBB\xBA\xB3\xE5\xC7\xF8\xC2\xFA\xA3\xAC\xC7\xEB\xD4\xD9\xB4\xCE\xCA\xE4\xC8\xEB\xA3\xA1\n";
// "已连接：%s": connected: <dotted address> (no line end).
constexpr char kTraceConnected[] = "\xD2\xD1\xC1\xAC\xBD\xD3\xA3\xBA%s";
// "加入新连接，但连接区已满，无法监听\n": adding a new connection, but the
// connection area is full, cannot listen.
constexpr char kTraceTableFull[] =
    "\xBC\xD3\xC8\xEB\xD0\xC2\xC1\xAC\xBD\xD3\xA3\xAC\xB5\xAB\xC1\xAC\xBD\xD3\xC7\xF8\xD2\xD1\xC2\xFA"
    "\xA3\xAC\xCE\xDE\xB7\xA8\xBC\xE0\xCC\xFD\n";
// "连接失败！": connection failed (no line end).
constexpr char kTraceConnectFailed[] = "\xC1\xAC\xBD\xD3\xCA\xA7\xB0\xDC\xA3\xA1";
// "开始监听": start listening (no line end).
constexpr char kTraceListening[] = "\xBF\xAA\xCA\xBC\xBC\xE0\xCC\xFD";
// Listener about to accept.
constexpr char kTraceNewAccept[] = "new accept!\n";
// Listener's accept result: the new socket, or -1.
constexpr char kTraceAcceptResult[] = "%d client connect OK!\n";
// ":收到连接：IP%s\n": received connection: IP <dotted address>.
constexpr char kTraceAcceptedFrom[] = ":\xCA\xD5\xB5\xBD\xC1\xAC\xBD\xD3\xA3\xBAIP%s\n";
// Dispatcher: a watched socket is in the exception set.
constexpr char kTraceExceptEvent[] = "eExceptEvent\n";
// Dispatcher: a watched socket is readable.
constexpr char kTraceReadEvent[] = "eReadEvent\n";
// Dispatcher: the readable socket is a listener.
constexpr char kTraceListenerKind[] = "so_listener!\n";
// Dispatcher: the readable socket is a connection.
constexpr char kTraceConnectionKind[] = "so_connection\n";
// Dispatcher: a watched socket is writable; the socket's number.
constexpr char kTraceWriteEvent[] = "[%d]eWriteEvent\n";
// "加入了一个已存在的连接:%d\n": added a connection that already exists:
// <1-based slot number>.
constexpr char kTraceAlreadyRegistered[] =
    "\xBC\xD3\xC8\xEB\xC1\xCB\xD2\xBB\xB8\xF6\xD2\xD1\xB4\xE6\xD4\xDA\xB5\xC4\xC1\xAC\xBD\xD3:%d\n";

// ---- log lines ----

// A successful outgoing connect: socket, dotted address, port.
constexpr char kLogConnectSuccess[] = "[connect success] Socket %d,Addr:%s,Port:%d";
// "网络错误码:%s": network error code: <error text>.
constexpr char kLogNetError[] = "\xCD\xF8\xC2\xE7\xB4\xED\xCE\xF3\xC2\xEB:%s";
// "发送队列超过上限%s字节，连接已关闭": the bytes waiting to be sent passed
// the limit of <n> bytes; the connection was closed.
constexpr char kLogSendLimit[] =
    "\xB7\xA2\xCB\xCD\xB6\xD3\xC1\xD0\xB3\xAC\xB9\xFD\xC9\xCF\xCF\xDE%s\xD7\xD6\xBD\xDA\xA3\xAC\xC1\xAC\xBD\xD3"
    "\xD2\xD1\xB9\xD8\xB1\xD5";
// "待发送的%s字节%d秒内没有发出，连接已重置": <n> bytes waiting to be sent,
// and none went out for <m> seconds; the connection was reset.
constexpr char kLogSendStalled[] =
    "\xB4\xFD\xB7\xA2\xCB\xCD\xB5\xC4%s\xD7\xD6\xBD\xDA%d\xC3\xEB\xC4\xDA\xC3\xBB\xD3\xD0\xB7\xA2\xB3\xF6"
    "\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1\xD6\xD8\xD6\xC3";
// "所有连接待发送的字节超过总上限%s，待发送最多的连接已重置，其%s字节已丢弃":
// the bytes waiting to be sent on all connections passed the total limit of
// <n>; the connection with the most of them was reset, and its <m> bytes
// were dropped.
constexpr char kLogSendTotal[] =
    "\xCB\xF9\xD3\xD0\xC1\xAC\xBD\xD3\xB4\xFD\xB7\xA2\xCB\xCD\xB5\xC4\xD7\xD6\xBD\xDA\xB3\xAC\xB9\xFD"
    "\xD7\xDC\xC9\xCF\xCF\xDE%s\xA3\xAC\xB4\xFD\xB7\xA2\xCB\xCD\xD7\xEE\xB6\xE0\xB5\xC4\xC1\xAC\xBD\xD3"
    "\xD2\xD1\xD6\xD8\xD6\xC3\xA3\xAC\xC6\xE4%s\xD7\xD6\xBD\xDA\xD2\xD1\xB6\xAA\xC6\xFA";
// "关闭连接时%d秒内没有进展，未发送的%s字节已丢弃": while closing, no
// progress for <n> seconds; <m> unsent bytes were dropped.
constexpr char kLogLingerExpired[] =
    "\xB9\xD8\xB1\xD5\xC1\xAC\xBD\xD3\xCA\xB1%d\xC3\xEB\xC4\xDA\xC3\xBB\xD3\xD0\xBD\xF8\xD5\xB9\xA3\xAC\xCE\xB4\xB7\xA2"
    "\xCB\xCD\xB5\xC4%s\xD7\xD6\xBD\xDA\xD2\xD1\xB6\xAA\xC6\xFA";
// "%d秒内没有收完一帧，连接已重置，已收到的%u字节已丢弃": a frame was not
// completed within <n> seconds; the connection was reset; the <m> bytes
// received of it were dropped.
constexpr char kLogFrameExpired[] =
    "%d\xC3\xEB\xC4\xDA\xC3\xBB\xD3\xD0\xCA\xD5\xCD\xEA\xD2\xBB\xD6\xA1\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1\xD6\xD8"
    "\xD6\xC3\xA3\xAC\xD2\xD1\xCA\xD5\xB5\xBD\xB5\xC4%u\xD7\xD6\xBD\xDA\xD2\xD1\xB6\xAA\xC6\xFA";
// "%d秒内没有收发数据，连接已重置，已收到的%u字节和未发送的%s字节已丢弃":
// no byte was received or sent within <n> seconds; the connection was
// reset; the <m> bytes received of a frame and the <k> unsent bytes were
// dropped.
constexpr char kLogIdleExpired[] =
    "%d\xC3\xEB\xC4\xDA\xC3\xBB\xD3\xD0\xCA\xD5\xB7\xA2\xCA\xFD\xBE\xDD\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1\xD6\xD8"
    "\xD6\xC3\xA3\xAC\xD2\xD1\xCA\xD5\xB5\xBD\xB5\xC4%u\xD7\xD6\xBD\xDA\xBA\xCD\xCE\xB4\xB7\xA2\xCB\xCD\xB5\xC4%s"
    "\xD7\xD6\xBD\xDA\xD2\xD1\xB6\xAA\xC6\xFA";
// "工作线程无法等待网络事件:%s，%d毫秒后重试": the worker cannot wait for
// network events: <error text>; it tries again in <n> milliseconds.
constexpr char kLogPollerFailed[] =
    "\xB9\xA4\xD7\xF7\xCF\xDF\xB3\xCC\xCE\xDE\xB7\xA8\xB5\xC8\xB4\xFD\xCD\xF8\xC2\xE7\xCA\xC2\xBC\xFE:%s\xA3\xAC%d"
    "\xBA\xC1\xC3\xEB\xBA\xF3\xD6\xD8\xCA\xD4";
// "收到无效的帧长度%u，连接已关闭": received the impossible frame length
// <n> (below 4, or above what the receive queue holds); the connection was
// closed.
constexpr char kLogBadHeader[] =
    "\xCA\xD5\xB5\xBD\xCE\xDE\xD0\xA7\xB5\xC4\xD6\xA1\xB3\xA4\xB6\xC8%u\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1"
    "\xB9\xD8\xB1\xD5";
// "套接字出现异常情况，连接已关闭": an exceptional condition on the socket
// (out-of-band data, say); the connection was closed.
constexpr char kLogExceptEvent[] =
    "\xCC\xD7\xBD\xD3\xD7\xD6\xB3\xF6\xCF\xD6\xD2\xEC\xB3\xA3\xC7\xE9\xBF\xF6\xA3\xAC\xC1\xAC\xBD\xD3\xD2\xD1"
    "\xB9\xD8\xB1\xD5";
// "连接区已满，无法加入新连接": the connection area (the socket table) is
// full; the new connection cannot be added.
constexpr char kLogTableFull[] =
    "\xC1\xAC\xBD\xD3\xC7\xF8\xD2\xD1\xC2\xFA\xA3\xAC\xCE\xDE\xB7\xA8\xBC\xD3\xC8\xEB\xD0\xC2\xC1\xAC\xBD\xD3";
// "设置%s的值"%s"无效，使用默认值%s": setting <name> has the invalid value
// "<value>"; the default <value> is used.
constexpr char kLogBadSetting[] =
    "\xC9\xE8\xD6\xC3%s\xB5\xC4\xD6\xB5\"%s\"\xCE\xDE\xD0\xA7\xA3\xAC\xCA\xB9\xD3\xC3\xC4\xAC\xC8\xCF\xD6\xB5%s";

// ---- socket error texts ----
//
// The texts of known codes are in platform/qverrors.h, beside their codes.
// Any other code, as a connection logs it: "未知错误", unknown error.
constexpr char kErrUnknownConnection[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3";
// Any other code, as a listener logs it: "未知错误!", unknown error! (ASCII '!').
constexpr char kErrUnknownListener[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3!";

}  // namespace qvtext

#endif  // QV_DIAG_QVTEXTS_H
