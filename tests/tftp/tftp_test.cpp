// The TFTP service against a raw-packet client: exact bytes on the wire, refusals, the engines'
// retry behaviour, the worker table and the stop.
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include "tftp_fixture.h"

using namespace tftptest;

namespace {

// Reads a whole file from its first DATA on, acknowledging every `window` blocks and the last one
// as the client that asked for that window does; stops at the first packet out of order.
std::string Download(RawClient& client, std::string packet, size_t blockSize, int window = 1) {
    std::string data;
    for (int expect = 1;; ++expect, packet = client.Receive()) {
        if (Opcode(packet) != TFTP_DATA || Block(packet) != (expect & 0xFFFF)) return data + "<unexpected>";
        data += packet.substr(4);
        bool last = packet.size() - 4 < blockSize;
        if (expect % window == 0 || last) client.Send(Ack(Block(packet)));
        if (last) return data;
    }
}

// What `client` hears until it has been quiet for `quietMs`: each packet as "opcode/block" (an
// ERROR's text after a colon), with a time unit `unitMs` also "@time", in whole units since `start`.
std::string Heard(RawClient& client, int quietMs, int unitMs = 0, std::chrono::steady_clock::time_point start = {}) {
    std::string heard;
    for (std::string packet; !(packet = client.Receive(quietMs)).empty();) {
        auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
        heard += Summary(packet);
        heard += (unitMs > 0 ? "@" + std::to_string(std::lround(elapsed.count() / unitMs)) : "") + " ";
    }
    return heard;
}

// The request as the worker sees it: the name cut at byte 509, a mode that ends within the
// datagram (bytes past it are zeros), options looked for up to 512 bytes past the name's start.
TEST(TftpParseTest, RequestFieldsAndTheirLimits) {
    auto names = [](const TftpRequest& r) {
        std::string out = r.name + "|" + (r.hasMode ? r.mode : "-");
        for (const TftpOption& o : r.options) out += "|" + o.name + "=" + o.value;
        return out;
    };
    const std::string longName(600, 'n');
    const std::pair<std::string, std::string> cases[] = {
        {Request(TFTP_RRQ, {"f.bin", "octet", "blksize", "1024", "", "tsize", "0"}),
         "f.bin|octet|blksize=1024|tsize=0"},
        {Request(TFTP_RRQ, {"f.bin", "octet", "blksize"}), "f.bin|octet|blksize="},
        {Op(TFTP_RRQ) + "f.bin", "f.bin|"},
        // The name ends at byte 509; a mode must end by the datagram's last byte, 515.
        {Op(TFTP_RRQ) + std::string(507, 'n') + "xoctet" + std::string(1, '\0'), std::string(507, 'n') + "|octet"},
        {Op(TFTP_RRQ) + std::string(507, 'n') + "xoctets", std::string(507, 'n') + "|-"},
        {Op(TFTP_RRQ) + longName, std::string(507, 'n') + "|-"},
        // An option must end by byte 513.
        {Request(TFTP_RRQ, {std::string(501, 'n'), "octet", "a", "1"}), std::string(501, 'n') + "|octet|a=1"},
        {Request(TFTP_RRQ, {std::string(501, 'n'), "octet", "a", "12"}), std::string(501, 'n') + "|octet"},
    };
    for (const auto& [packet, expected] : cases) {
        TftpRequest request = ParseTftpRequest(packet.data(), packet.size());
        EXPECT_EQ(TFTP_RRQ, request.opcode);
        EXPECT_EQ(expected, names(request)) << packet.size();
    }
    // An unknown mode ("image") is refused through the service in the request table below.
    EXPECT_EQ(TFTP_MODE_NETASCII, TftpModeOf("ASCII"));
}

class TftpRequestTest : public TftpServiceTest {};

// Each option request, the first reply (an OACK, alone until block 0 is acknowledged, or DATA 1 at
// once when none is due) and the whole file after it. A whole number of blocks ends with an empty
// one, and an empty file is one empty block.
TEST_F(TftpRequestTest, OptionsAreRefusedCappedTakenOrIgnored) {
    const std::string content = Pattern(600);
    m_root.Write("f.bin", content);
    m_root.Write("e.bin", "");
    // A sparse file whose size text is ten characters: each "tsize 0" asks for 9 more bytes back.
    ASSERT_EQ(0, truncate(m_root.Write("big.bin", "").c_str(), 4000000000LL));
    Start();
    struct Case {
        std::string request;  // after the file name
        std::string oack;     // empty: no OACK
        size_t blockSize;
    };
    const std::string oack = Op(TFTP_OACK);
    const Case cases[] = {
        {Bytes({"octet", "blksize", "4"}), "", 512},
        {Bytes({"octet", "blksize", "65464"}), oack + Bytes({"blksize", "16384"}), 16384},
        {Bytes({"octet", "blksize", "-1"}), oack + Bytes({"blksize", "16384"}), 16384},
        {Bytes({"octet", "blksize", "1428"}), oack + Bytes({"blksize", "1428"}), 1428},
        {Bytes({"octet", "timeout", "07"}), oack + Bytes({"timeout", "07"}), 512},
        {Bytes({"octet", "timeout", "0"}), "", 512},
        {Bytes({"octet", "timeout", "256"}), "", 512},
        // Option names keep the client's case in the reply.
        {Bytes({"NETASCII", "BlkSize", "100", "TSIZE", "0"}), oack + Bytes({"BlkSize", "100", "TSIZE", "600"}), 100},
        // The window granted is bounded by the settings (64) and, for large blocks, by what a
        // client's default receive buffer holds; it is settled once the block size is known.
        {Bytes({"octet", "blksize", "1468", "windowsize", "16", "tsize", "0"}),
         oack + Bytes({"blksize", "1468", "windowsize", "16", "tsize", "600"}), 1468},
        {Bytes({"octet", "WindowSize", "100", "blksize", "16384"}),
         oack + Bytes({"WindowSize", "4", "blksize", "16384"}), 16384},
        {Bytes({"octet", "windowsize", "65535"}), oack + Bytes({"windowsize", "64"}), 512},
        {Bytes({"octet", "windowsize", "0"}), "", 512},
        {Bytes({"octet", "windowsize", "65536"}), "", 512},
        {Bytes({"octet", "windowsize", "abc"}), "", 512},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.request);
        RawClient client;
        std::string reply = client.Ask(Op(TFTP_RRQ) + Bytes({"f.bin"}) + c.request);
        if (!c.oack.empty()) {
            EXPECT_EQ(c.oack, reply);
            EXPECT_EQ("", client.Receive(100)) << "DATA before block 0 was acknowledged";
            client.Send(Ack(0));
            reply = client.Receive();
        }
        EXPECT_EQ(content, Download(client, reply, c.blockSize));
    }
    // The OACK never grows past its packet.
    std::string request = Rrq("big.bin");
    while (request.size() + 8 <= 516) request += Bytes({"tsize", "0"});
    std::string big = RawClient().Ask(request);
    ASSERT_EQ(TFTP_OACK, Opcode(big));
    EXPECT_LE(big.size(), 516u);
    EXPECT_EQ(0, static_cast<int>(big.size() - 2) % 17) << "only whole \"tsize\\0"
                                                            "4000000000\\0\" entries";
    EXPECT_EQ(Op(TFTP_OACK) + Bytes({"tsize", "4000000000"}), big.substr(0, 19));
    RawClient empty;
    EXPECT_EQ(Data(1, ""), empty.Ask(Rrq("e.bin")));
    // With the window switched off in the settings, the option goes unanswered.
    m_settings.nMaxWindowSize = 0;
    Restart();
    RawClient client;
    EXPECT_EQ(Data(1, content.substr(0, 512)), client.Ask(Request(TFTP_RRQ, {"f.bin", "octet", "windowsize", "8"})));
}

TEST_F(TftpRequestTest, NamesAndSecurityLevelsAreCheckedAndRefusalsCarryTheirErrorCodeAndText) {
    m_root.Write("fw.bin", "x");
    mkdir(m_root.File("cam").c_str(), 0755);
    m_root.Write("cam/a.bin", "sub");
    Start();
    const std::string access = Error(2, "Access violation");
    const std::string badop = Error(4, "Illegal TFTP operation");
    const std::string missing = Error(1, "File not found");
    struct Case {
        std::string request;
        std::string error;
        std::string logLine;
    };
    const std::vector<Case> cases = {
        {Rrq("../etc/passwd"), access, "Error EACCESS on file ..\\etc\\passwd"},
        {Rrq("fw..bin"), access, "Error EACCESS on file fw..bin"},
        {Wrq("a\\\\b.bin"), access, "Error EACCESS on file a\\\\b.bin"},
        {Rrq("a//b.bin"), access, "Error EACCESS on file a\\\\b.bin"},
        {Rrq("fw%s.bin"), access, "does not handle filenames with a percent sign"},
        {Request(TFTP_RRQ, {"fw.bin", "image"}), badop, "Uncorrect message"},
        {Request(TFTP_DATA, {"fw.bin", "octet"}), badop, "Unexpected request 3 from peer"},
        {Request(7, {"fw.bin", "octet"}), badop, "Returning EBADOP to Peer"},
        {Rrq(std::string(260, 'n')), badop, "File name too long, return EBADOP to peer"},
        // Short enough on its own, too long once joined with the root: refused after the final name.
        {Rrq(std::string(259, 'q')), badop, "final name : <" + m_root.Path() + "\\qqqq"},
        {Rrq("missing.bin"), missing, "error 2 in system call CreateFile"},
        {Rrq("cam"), missing, "final name : <" + m_root.Path() + "\\cam>"},  // a folder is not a file
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logLine);
        RawClient client;
        EXPECT_EQ(c.error, client.Ask(c.request));
        EXPECT_TRUE(WaitLog(c.logLine));
    }
    // Slashes reach subfolders.
    RawClient client;
    EXPECT_EQ(Data(1, "sub"), client.Ask(Rrq("cam/a.bin")));
    client.Send(Ack(1));
    EXPECT_TRUE(WaitLog("final name : <" + m_root.Path() + "\\cam\\a.bin>"));
    // Security levels govern writes.
    m_root.Write("empty.bin", "");
    m_root.Write("full.bin", "data");
    m_settings.nSecurityLevel = 3;
    Restart();
    EXPECT_EQ(Error(2, "Access violation"), RawClient().Ask(Wrq("empty.bin"))) << "level 3 refuses every write";
    m_settings.nSecurityLevel = 2;
    Restart();
    EXPECT_EQ(Error(2, "Access violation"), RawClient().Ask(Wrq("full.bin")));
    RawClient writer;
    EXPECT_EQ(Ack(0), writer.Ask(Wrq("empty.bin")));
    writer.Send(Data(1, "new"));
    EXPECT_EQ(Ack(1), writer.Receive());
    EXPECT_TRUE(WaitLog("<empty.bin>: rcvd 1 blk, 3 bytes"));
    EXPECT_EQ("new", m_root.Read("empty.bin"));
}

// Names that are not regular files never hold a worker: refused at once, or left unwritten.
TEST_F(TftpRequestTest, FifosNeitherBlockAWorkerNorTakeSideFiles) {
    m_root.Write("f.bin", "data");
    for (const char* fifo : {"x.bin", "dir.txt", "f.bin.md5"}) ASSERT_EQ(0, mkfifo(m_root.File(fifo).c_str(), 0644));
    m_settings.bDirListing = 1;
    m_settings.bMd5Files = 1;
    Start();
    RawClient reader;
    EXPECT_EQ(Error(1, "File not found"), reader.Ask(Rrq("x.bin")));
    RawClient client;
    EXPECT_EQ(Data(1, "data"), client.Ask(Rrq("f.bin")));
    client.Send(Ack(1));
    EXPECT_TRUE(WaitLog("<f.bin>: sent 1 blk, 4 bytes"));
    auto begin = std::chrono::steady_clock::now();
    StopTftp();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(20)) << "a worker was stuck";
}

class TftpEngineTest : public TftpServiceTest {};

// A block nobody acknowledges goes out again after 2, 3, 5, 5 and 5 time units, and the transfer
// ends 5 units after the sixth copy. Only a client that has answered the transfer, and not asked
// again since, hears an ERROR then: one that did follows the transfer of its repeated request (its
// answer was lost) and would take an ERROR from this port as the end of that one.
TEST_F(TftpEngineTest, UnacknowledgedBlocksAndAcksAreSentSixTimesOnTheLadder) {
    m_root.Write("l.bin", "last");
    m_root.Write("m.bin", Pattern(2000));
    m_root.Write("t.bin", "previous");
    m_settings.nTimeUnitMs = 250;
    Start();
    RawClient last, silent, answered, again;
    const auto start = std::chrono::steady_clock::now();
    silent.SendToServer(Rrq("m.bin"));
    last.SendToServer(Rrq("l.bin"));
    EXPECT_EQ(1, Block(answered.Ask(Rrq("m.bin"))));
    answered.Send(Ack(1));
    EXPECT_EQ(1, Block(again.Ask(Rrq("m.bin"))));
    again.Send(Ack(1));
    again.SendToServer(Rrq("m.bin"));
    EXPECT_EQ("3/1@0 3/1@2 3/1@5 3/1@10 3/1@15 3/1@20 ", Heard(silent, 1500, 250, start));
    // The others' copies wait in their sockets by now.
    EXPECT_EQ("3/1 3/1 3/1 3/1 3/1 3/1 ", Heard(last, 100));
    EXPECT_EQ("3/2 3/2 3/2 3/2 3/2 3/2 5/0:Undefined error code ", Heard(answered, 1500));
    const std::string both = Heard(again, 1500);  // both transfers' ladders, interleaved
    EXPECT_NE(both.find("3/2"), std::string::npos) << both;
    EXPECT_EQ(both.find("5/"), std::string::npos) << both;
    // The unacknowledged last block is a success with a warning.
    EXPECT_TRUE(WaitLog("WARNING : Last block #1 not acked for file <l.bin>"));

    // A write echoes "tsize" and replaces its file only once the upload is whole: one that times
    // out keeps the previous file and leaves no part behind.
    RawClient writer;
    EXPECT_EQ(Op(TFTP_OACK) + Bytes({"tsize", "1234", "blksize", "1000"}),
              writer.Ask(Request(TFTP_WRQ, {"t.bin", "octet", "tsize", "1234", "blksize", "1000"})));
    const auto writeStart = std::chrono::steady_clock::now();
    writer.Send(Data(1, Pattern(1000)));
    // The receiver's ladder: six repeats of its last ACK, then ERROR 0.
    EXPECT_EQ("4/1@0 4/1@2 4/1@5 4/1@10 4/1@15 4/1@20 4/1@25 5/0:Undefined error code@25 ",
              Heard(writer, 1500, 250, writeStart));
    usleep(100000);
    EXPECT_EQ("previous", m_root.Read("t.bin"));
    auto entries = std::filesystem::directory_iterator(m_root.Path());
    EXPECT_EQ(3, std::distance(begin(entries), end(entries))) << "temporary file left behind";
}

TEST_F(TftpEngineTest, PeerErrorOrStrayPacketEndsATransferAndWriteFromZeroIsFollowed) {
    m_root.Write("c.bin", Pattern(2000));
    Start();
    RawClient reader;
    EXPECT_EQ(1, Block(reader.Ask(Rrq("c.bin"))));
    reader.Send(Error(0, "user gave up"));
    EXPECT_TRUE(reader.Receive(400).empty()) << "the transfer went on after the client's ERROR";
    // A write answers an ERROR, or a packet too short for DATA, with ERROR 4.
    for (const std::string& stray : {Error(1, "nope"), std::string("\0\3", 2)}) {
        RawClient writer;
        EXPECT_EQ(Ack(0), writer.Ask(Wrq("u.bin")));
        writer.Send(stray);
        EXPECT_EQ(Error(4, "Illegal TFTP operation"), writer.Receive());
    }
    // A write numbered from zero is followed.
    RawClient zero;
    EXPECT_EQ(Ack(0), zero.Ask(Wrq("z.bin")));
    std::string content = Pattern(700, 3);
    zero.Send(Data(0, content.substr(0, 512)));
    EXPECT_EQ(Ack(0), zero.Receive());
    zero.Send(Data(1, content.substr(512)));
    EXPECT_EQ(Ack(1), zero.Receive());
    EXPECT_TRUE(WaitLog("<z.bin>: rcvd 1 blk, 700 bytes in"));
    EXPECT_EQ(content, m_root.Read("z.bin"));
}

// A write whose OACK was lost is asked for again with the OACK: an ACK 0 instead would tell the
// client its options were refused, and its first 512-byte block would end a 1024-byte-block file.
TEST_F(TftpEngineTest, LostOackOfAWriteIsSentAgain) {
    Start();
    RawClient client;
    const std::string oack = Op(TFTP_OACK) + Bytes({"blksize", "1024"});
    EXPECT_EQ(oack, client.Ask(Request(TFTP_WRQ, {"o.bin", "octet", "blksize", "1024"})));
    EXPECT_EQ(oack, client.Receive());
    const std::string content = Pattern(1500, 5);
    client.Send(Data(1, content.substr(0, 1024)));
    EXPECT_EQ(Ack(1), client.Receive());
    client.Send(Data(2, content.substr(1024)));
    EXPECT_EQ(Ack(2), client.Receive());
    EXPECT_TRUE(WaitLog("<o.bin>: rcvd 2 blks, 1500 bytes in"));
    EXPECT_EQ(content, m_root.Read("o.bin"));
}

// The sender reads the next block ahead while the client works; a resend after a time-out must
// still carry the block that was lost, and the MD5 side file must count every block once.
TEST_F(TftpEngineTest, SideFilesCountEveryBlockOnceAndListTheRoot) {
    m_settings.bMd5Files = 1;
    m_settings.bDirListing = 1;
    const std::string content = std::string(512, 'a') + std::string(512, 'b') + std::string(276, 'c');
    m_root.Write("r.bin", content);
    m_root.Write(std::string(70, 'L') + ".bin", Pattern(1000));
    mkdir(m_root.File("folder").c_str(), 0755);
    Start();
    RawClient client;
    EXPECT_EQ(Data(1, content.substr(0, 512)), client.Ask(Rrq("r.bin")));
    client.Send(Ack(1));
    EXPECT_EQ(Data(2, content.substr(512, 512)), client.Receive());
    // No ACK for block 2: it comes again after the time-out, with its own bytes.
    EXPECT_EQ(Data(2, content.substr(512, 512)), client.Receive());
    client.Send(Ack(2));
    EXPECT_EQ(Data(3, content.substr(1024)), client.Receive());
    client.Send(Ack(3));
    ASSERT_TRUE(WaitLog("MD5 written into <" + m_root.Path() + "\\r.bin.md5>"));
    EXPECT_EQ("7dcd6422777e8aad3c962029da378c29", m_root.Read("r.bin.md5"));

    std::string listing = m_root.Read("dir.txt");
    for (const std::string& entry :
         {std::string("r.bin\t"), std::string(62, 'L') + "\t", std::string("\t1000\r\n"), std::string("dir.txt\t")}) {
        EXPECT_NE(std::string::npos, listing.find(entry)) << entry << " missing from " << listing;
    }
    for (const std::string& absent : {std::string(63, 'L'), std::string("folder")}) {
        EXPECT_EQ(std::string::npos, listing.find(absent)) << absent << " in " << listing;
    }

    RawClient writer;
    EXPECT_EQ(Ack(0), writer.Ask(Wrq("empty.bin")));
    writer.Send(Data(1, ""));
    EXPECT_EQ(Ack(1), writer.Receive());
    ASSERT_TRUE(WaitLog("MD5 written into <" + m_root.Path() + "\\empty.bin.md5>"));
    EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", m_root.Read("empty.bin.md5"));

    RawClient failing;
    EXPECT_EQ(Ack(0), failing.Ask(Wrq("x.bin")));
    failing.Send(Ack(3));
    EXPECT_EQ(Error(4, "Illegal TFTP operation"), failing.Receive());
    usleep(100000);
    EXPECT_NE(0, access(m_root.File("x.bin.md5").c_str(), F_OK));
}

// Without a window a duplicate ACK never causes a resend. A whole window goes out at once; every
// ACK restarts the window behind the block it names, and a repeated ACK restarts it once; block
// numbers wrap within a window. A receiver acknowledges each whole window, and a gap at once.
TEST_F(TftpEngineTest, AcksDriveTheSenderAndTheReceiverAcknowledgesGapsAtOnce) {
    const std::string content = Pattern(10 * 512 + 100);
    m_root.Write("w.bin", content);
    m_root.Write("d.bin", Pattern(1500));
    const std::string wrap = Pattern(65600 * 8 + 3, 9);
    m_root.Write("wrap.bin", wrap);
    m_settings.nTimeUnitMs = 1000;  // no time-out resend nor ACK within the test
    Start();
    RawClient plain;
    EXPECT_EQ(1, Block(plain.Ask(Rrq("d.bin"))));
    plain.Send(Ack(1));
    EXPECT_EQ(2, Block(plain.Receive()));
    plain.Send(Ack(1));  // a late copy of the previous acknowledgement
    EXPECT_EQ("", Heard(plain, 250)) << "sent again on a duplicate ACK";
    plain.Send(Ack(2));
    EXPECT_EQ(3, Block(plain.Receive()));
    plain.Send(Ack(3));

    RawClient client;
    EXPECT_EQ(Op(TFTP_OACK) + Bytes({"windowsize", "4"}),
              client.Ask(Request(TFTP_RRQ, {"w.bin", "octet", "windowsize", "4"})));
    client.Send(Ack(0));
    EXPECT_EQ("3/1 3/2 3/3 3/4 ", Heard(client, 300));
    client.Send(Ack(2));  // block 3 lost: the window starts again from there
    EXPECT_EQ("3/3 3/4 3/5 3/6 ", Heard(client, 300));
    client.Send(Ack(6));
    EXPECT_EQ("3/7 3/8 3/9 3/10 ", Heard(client, 300));
    client.Send(Ack(6));
    EXPECT_EQ("3/7 3/8 3/9 3/10 ", Heard(client, 300));
    client.Send(Ack(6));
    EXPECT_EQ("", Heard(client, 300)) << "a second repeat restarted the window again";
    client.Send(Ack(10));
    EXPECT_EQ(Data(11, content.substr(5120)), client.Receive());
    client.Send(Ack(11));
    EXPECT_TRUE(WaitLog("<w.bin>: sent 11 blks, 5220 bytes in "));
    EXPECT_TRUE(WaitLog(". 6 blks resent"));

    const std::string up = Pattern(6 * 512 + 10, 4);
    auto block = [&](int n) { return Data(n, up.substr(static_cast<size_t>(n - 1) * 512, 512)); };
    RawClient writer;
    EXPECT_EQ(Op(TFTP_OACK) + Bytes({"windowsize", "4"}),
              writer.Ask(Request(TFTP_WRQ, {"up.bin", "octet", "windowsize", "4"})));
    for (int n : {1, 2, 4, 5}) writer.Send(block(n));
    EXPECT_EQ("4/2 ", Heard(writer, 300)) << "the gap is acknowledged at once, and once";
    for (int n : {3, 4, 5}) writer.Send(block(n));
    EXPECT_EQ("", Heard(writer, 300)) << "ACK before the window was complete";
    writer.Send(block(6));
    EXPECT_EQ(Ack(6), writer.Receive(1000));
    writer.Send(block(7));
    EXPECT_EQ(Ack(7), writer.Receive(1000));
    EXPECT_TRUE(WaitLog("<up.bin>: rcvd 7 blks, 3082 bytes in"));
    EXPECT_EQ(up, m_root.Read("up.bin"));

    RawClient wrapping;
    EXPECT_EQ(TFTP_OACK,
              Opcode(wrapping.Ask(Request(TFTP_RRQ, {"wrap.bin", "octet", "blksize", "8", "windowsize", "64"}))));
    wrapping.Send(Ack(0));
    EXPECT_TRUE(wrap == Download(wrapping, wrapping.Receive(), 8, 64)) << "content differs";
    EXPECT_TRUE(WaitLog("<wrap.bin>: sent 65601 blks, " + std::to_string(wrap.size()) + " bytes in "));
}

class TftpServiceLifecycleTest : public TftpServiceTest {};

TEST_F(TftpServiceLifecycleTest, ExtraWorkersUpToTheTableAndTheNextRequestWaitsItsTurn) {
    m_root.Write("w.bin", "w");
    m_settings.nTimeUnitMs = 120;  // every transfer waits 3 s for its last ACK: all 100 stay active
    Start();
    // Eight clients per address, the most one address may hold.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 101; ++i) {
        std::string ip = "127.0.1." + std::to_string(1 + i / kTftpMaxRecordsPerClient);
        clients.push_back(std::make_unique<RawClient>(ip.c_str()));
        clients.back()->SendToServer(Rrq("w.bin"));
        usleep(2000);
    }
    int served = 0;
    for (int i = 0; i < 100; ++i) served += clients[static_cast<size_t>(i)]->Receive() == Data(1, "w");
    EXPECT_EQ(100, served);
    EXPECT_TRUE(clients.back()->Receive(500).empty()) << "the 101st request was answered beyond the table";
    EXPECT_EQ(70u, m_log.Count(" started (records "));
    // Once one is done, the waiting request takes its record.
    clients.front()->Send(Ack(1));
    EXPECT_EQ(Data(1, "w"), clients.back()->Receive(3000));
    for (auto& c : clients) c->Send(Ack(1));
    ASSERT_TRUE(WaitLog("tftp worker thread leaving", 5000));
}

// A client repeating its request delays its own copies, never the listener: another client is
// answered at once, and the repeats past a second's worth are dropped. A stop then cancels the
// transfers under way without waiting out their time-outs.
TEST_F(TftpServiceLifecycleTest, RepeatingClientDelaysOnlyItselfAndStopCancelsTransfers) {
    m_root.Write("r.bin", "r");
    m_root.Write("s.bin", Pattern(5000));
    m_settings.nTimeUnitMs = 1000;
    Start();
    time_t now = time(nullptr);
    while (time(nullptr) == now) usleep(1000);
    RawClient flooder;
    const auto flooded = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) flooder.SendToServer(Rrq("r.bin"));
    RawClient other;
    EXPECT_EQ(Data(1, "r"), other.Ask(Rrq("r.bin"))) << "the listener waited out the repeats";
    std::set<uint16_t> ports;  // each copy served has a transfer (a port) of its own
    int served = 0;
    while (flooder.Receive(600) == Data(1, "r")) {  // copies 250 ms apart; resends only after 2 s
        // Copy n starts n x 250 ms after the flood at the earliest, however late the machine is.
        EXPECT_GE(std::chrono::steady_clock::now() - flooded, served * std::chrono::milliseconds(240)) << served;
        ++served;
        ports.insert(flooder.PeerPort());
    }
    EXPECT_GE(served, 2);
    EXPECT_LT(served, 40);
    EXPECT_EQ(static_cast<size_t>(served), ports.size());

    RawClient client;
    EXPECT_EQ(1, Block(client.Ask(Rrq("s.bin"))));
    auto begin = std::chrono::steady_clock::now();
    StopTftp();
    auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(Error(99, "Cancelled by administrator"), client.Receive());
    EXPECT_LT(took, std::chrono::seconds(4)) << "the stop waited out the transfer's time-outs";
}

TEST_F(TftpServiceLifecycleTest, SecondStartChangesTheRootOnly) {
    testsupport::TempDir other;
    other.Write("o.bin", "other");
    Start("127.0.0.1");
    TftpServiceStatus status{};
    StartTftp("127.0.0.1", "/no/such/folder");
    EXPECT_STREQ(m_root.Path().c_str(), (GetTftpServiceStatus(&status), status.szRootDir));
    StartTftp("127.0.0.1", other.Path().c_str());
    EXPECT_STREQ(other.Path().c_str(), (GetTftpServiceStatus(&status), status.szRootDir));
    RawClient client;
    EXPECT_EQ(Data(1, "other"), client.Ask(Rrq("o.bin")));
    client.Send(Ack(1));
    EXPECT_EQ(3u, m_log.Count("services TFTP started, init done"));
    StopTftp();
    EXPECT_EQ(1u, m_log.Count("main TFTP thread ends here")) << "a second start ran a second main thread";
    EXPECT_EQ(30u, m_log.Count("tftp End of thread")) << "the pool was created once";
}

}  // namespace
