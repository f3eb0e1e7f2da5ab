#include <gtest/gtest.h>

#include <random>

#include "ZipBuilder.h"
#include "ZipTestSupport.h"

using namespace ZipTest;

namespace {

constexpr ULONG kBlock = 5242880;

std::string Text(size_t size, unsigned seed = 1) {
    static const char* const words[] = {"alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf", "hotel"};
    std::mt19937 rng(seed);
    std::string out;
    out.reserve(size + 16);
    while (out.size() < size) {
        out += words[rng() % 8];
        out += (rng() % 12 == 0) ? "\n" : " ";
    }
    out.resize(size);
    return out;
}

using ZipReaderTest = ZipFixture;

TEST_F(ZipReaderTest, StoredMetaThenDeflatedMimeThenEnd) {
    std::string meta = "id=257\nflags=u\n";
    std::string mime = "Subject: hi\r\n\r\n" + Text(20000);
    Entry metaEntry = Stored("257.meta", meta);
    std::string archive = Archive({metaEntry, Deflated("257.eml", mime)});

    for (size_t piece : {0u, 1u, 7u, 4097u}) {
        SCOPED_TRACE(piece);
        Reader reader = Open(archive, piece);
        Ostrel::Rpc::ZipEntry* pMeta = reader->GetNextEntry();
        EXPECT_STREQ(pMeta->GetName(), L"257.meta");
        EXPECT_EQ(MetaOf(pMeta), meta);
        ULONG cb = 1;
        EXPECT_EQ(pMeta->GetMimeData(cb), nullptr);
        EXPECT_EQ(reader->GetCurrentEntry(), pMeta);

        Ostrel::Rpc::ZipEntry* pMime = reader->GetNextEntry();
        EXPECT_STREQ(pMime->GetName(), L"257.eml");
        EXPECT_EQ(MimeOf(pMime), mime);
        EXPECT_EQ(pMime->GetMetaData(cb), nullptr);
        EXPECT_EQ(pMime->GetMimeStream(cb), nullptr);

        EXPECT_EQ(NextError(reader.get()), kEndOfArchive);
        // The end stays the end: nothing more is read from the source.
        EXPECT_EQ(NextError(reader.get()), kEndOfArchive);
        EXPECT_EQ(reader->GetCurrentEntry(), nullptr);
    }
}

TEST_F(ZipReaderTest, HeaderSignatureMessages) {
    std::string eocd;
    Put32(eocd, 0x06054B50);
    eocd.append(18, '\0');
    Reader empty = Open(eocd);
    EXPECT_EQ(NextError(empty.get()),
              L"ZipInputStreamImpl::GetNextEntry: End of central directory header signature found: 06054b50.");

    Reader junk = Open("ABCDxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx");
    EXPECT_EQ(NextError(junk.get()), L"ZipInputStreamImpl::GetNextEntry: Wrong header signature found: 44434241.");

    Reader nothing = Open("");
    EXPECT_EQ(NextError(nothing.get()), L"ZipInputStreamImpl::ReadRaw: Failed to read data.");

    EXPECT_EQ(Ostrel::Rpc::ZipInputStream::CreateZipInputStream(nullptr, nullptr, 0), nullptr);
}

TEST_F(ZipReaderTest, ErrorEntryThrowsAndCanBeReadAndSkipped) {
    std::string archive = Archive({Stored("7.err", "no such message: 7\n"), Stored("8.meta", "m8"),
                                   Deflated("8.eml", "Subject: eight\r\n\r\nbody\r\n")});
    Ostrel::Util::LogCapture capture;
    Reader reader = Open(archive);
    EXPECT_EQ(NextError(reader.get()), L"Error file found: 7.err");
    EXPECT_TRUE(capture.Contains(L"Error file found: 7.err"));

    // The error entry is current and its text is there to be read.
    ASSERT_NE(reader->GetCurrentEntry(), nullptr);
    char text[64] = {};
    int n = reader->Read(text, sizeof(text));
    EXPECT_EQ(std::string(text, n > 0 ? n : 0), "no such message: 7\n");
    EXPECT_EQ(reader->Read(text, sizeof(text)), -1);

    // The archive goes on after it.
    EXPECT_EQ(MetaOf(reader->GetNextEntry()), "m8");
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), "Subject: eight\r\n\r\nbody\r\n");
    EXPECT_EQ(NextError(reader.get()), kEndOfArchive);

    // Messages are cut at 4095 characters.
    Reader longName = Open(Archive({Stored(std::string(5000, 'n') + ".err", "x")}));
    try {
        longName->GetNextEntry();
        ADD_FAILURE();
    } catch (const std::exception& e) {
        auto* pZipError = dynamic_cast<const ZipInputStreamImpl::Exception*>(&e);
        ASSERT_NE(pZipError, nullptr);
        EXPECT_EQ(std::wcslen(pZipError->GetMessage()), 4095u);
        EXPECT_EQ(std::string(e.what()).rfind("Error file found: nnn", 0), 0u);
    }

    // Names must be longer than the ending alone.
    Reader bare = Open(Archive({Stored(".err", "x"), Stored(".meta", "y")}));
    Ostrel::Rpc::ZipEntry* p = bare->GetNextEntry();
    EXPECT_EQ(MimeOf(p), "x");
    p = bare->GetNextEntry();
    EXPECT_EQ(MimeOf(p), "y");
    EXPECT_EQ(MetaOf(p), "");
    // The ending is compared exactly.
    Reader upper = Open(Archive({Stored("1.ERR", "z")}));
    EXPECT_EQ(MimeOf(upper->GetNextEntry()), "z");
}

TEST_F(ZipReaderTest, LargeMimeGoesToTemporaryFileFromExactlyFiveMegabytes) {
    struct Case {
        size_t size;
        bool deflate;
        bool inFile;
    } cases[] = {{kBlock - 1, false, false}, {kBlock, false, true}, {kBlock + 1, false, true},
                 {kBlock - 1, true, false},  {kBlock, true, true},  {2 * kBlock + 5, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.size << (c.deflate ? " deflated" : " stored"));
        std::string mime = Text(c.size, static_cast<unsigned>(c.size));
        Entry e = c.deflate ? Deflated("big.eml", mime) : Stored("big.eml", mime);
        Ostrel::Util::LogCapture capture;
        Reader reader = Open(Archive({e, Stored("next.meta", "after")}));
        Ostrel::Rpc::ZipEntry* pEntry = reader->GetNextEntry();
        ULONG cbData = 0, cbStream = 0;
        const BYTE* pData = pEntry->GetMimeData(cbData);
        IStream* pStream = pEntry->GetMimeStream(cbStream);
        EXPECT_EQ(pStream != nullptr, c.inFile);
        EXPECT_EQ(pData != nullptr, !c.inFile);
        EXPECT_EQ(c.inFile ? cbStream : cbData, c.size);
        EXPECT_EQ(SpoolFiles(), c.inFile ? 1u : 0u);
        EXPECT_EQ(capture.Contains(L"Large mime -> switching to file"), c.inFile);
        size_t blocks = c.size / kBlock + 1;
        EXPECT_TRUE(capture.Contains(std::to_wstring(c.size) + L" bytes read from zip using " +
                                     std::to_wstring(c.size % kBlock ? blocks : blocks - 1) + L" block(s)"));
        EXPECT_TRUE(MimeOf(pEntry) == mime);

        // The file lives as long as someone holds its stream.
        Platform::ComPtr<IStream> pKept(pStream);
        EXPECT_EQ(MetaOf(reader->GetNextEntry()), "after");
        EXPECT_EQ(SpoolFiles(), c.inFile ? 1u : 0u);
        pKept = nullptr;
        EXPECT_EQ(SpoolFiles(), 0u);
    }
}

TEST_F(ZipReaderTest, LargeMetadataStaysInMemoryWhole) {
    std::string meta = Text(kBlock + 100);
    Reader reader = Open(Archive({Deflated("big.meta", meta)}));
    Ostrel::Rpc::ZipEntry* pEntry = reader->GetNextEntry();
    EXPECT_TRUE(MetaOf(pEntry) == meta);
    EXPECT_EQ(SpoolFiles(), 0u);
}

TEST_F(ZipReaderTest, SpoolFileThatCannotBeCreated) {
    setenv("TMPDIR", (m_tmp / "missing").c_str(), 1);
    Ostrel::Util::LogCapture capture;
    Reader reader = Open(Archive({Stored("big.eml", std::string(kBlock, 'x'))}));
    EXPECT_EQ(NextError(reader.get()), L"ZipEntryImpl::FillMetaOrMimeData: Failed to create file.");
    EXPECT_TRUE(capture.Contains(L"failed to OpenStreamOnFile call: 80030003"));
}

TEST_F(ZipReaderTest, DataDescriptorForms) {
    std::string data = "Subject: descriptor\r\n\r\n" + Text(3000);
    Entry plain = Deflated("a.eml", data);
    Entry noSignature = Deflated("b.eml", data);
    noSignature.descriptorSignature = false;
    Entry zip64 = Deflated("c.eml", data);
    zip64.zip64 = true;
    Entry storedWithSizes = Stored("d.meta", "meta-d");
    storedWithSizes.descriptor = true;
    Entry storedUnknownSize = Stored("e.meta", "meta-e");
    storedUnknownSize.descriptor = true;
    storedUnknownSize.sizesInHeader = false;
    Entry deflatedHeaderSizes = Deflated("f.eml", data, false);

    Ostrel::Util::LogCapture capture;
    Reader reader =
        Open(Archive({plain, noSignature, zip64, storedWithSizes, storedUnknownSize, deflatedHeaderSizes}), 5);
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), data);
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), data);
    EXPECT_TRUE(capture.Contains(L"error=ZipInputStreamImpl::CloseEntry: Wrong Data Descriptor header signature"));
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), data);
    EXPECT_EQ(MetaOf(reader->GetNextEntry()), "meta-d");
    EXPECT_EQ(MetaOf(reader->GetNextEntry()), "meta-e");
    EXPECT_EQ(MimeOf(reader->GetNextEntry()), data);
    EXPECT_EQ(NextError(reader.get()), kEndOfArchive);
}

TEST_F(ZipReaderTest, StoredEntryOfUnknownSizeEndsAtItsOwnDescriptor) {
    // The data holds descriptor signatures, even a whole descriptor-shaped record, that do not
    // describe the bytes before them; only the real one ends the entry.
    std::string fake;
    Put32(fake, 0x08074B50);
    Put32(fake, 0x12345678);
    Put32(fake, 10);
    Put32(fake, 10);
    std::string data = "PK\x07\x08" + fake + "middle PK\x07" + fake + "end PK";
    for (size_t size : {0u, 1u, 5000u}) {
        std::string body = size ? data + Text(size) : std::string();
        Entry e = Stored("x.eml", body);
        e.descriptor = true;
        e.sizesInHeader = false;
        for (size_t piece : {0u, 1u, 3u}) {
            SCOPED_TRACE(testing::Message() << size << "/" << piece);
            Reader reader = Open(Archive({e, Stored("y.meta", "y")}), piece);
            EXPECT_EQ(MimeOf(reader->GetNextEntry()), body);
            EXPECT_EQ(MetaOf(reader->GetNextEntry()), "y");
        }
    }
}

TEST_F(ZipReaderTest, DamagedEntryIsReportedAndTheNextOneStillRead) {
    const std::string sent = "Subject: x\r\n\r\n" + Text(20000);
    std::string changed = sent;
    changed[15000] ^= 0x20;  // one byte changed in transit
    std::vector<Entry> damaged;
    for (bool descriptor : {false, true}) {
        Entry stored = Stored("bad.eml", sent);
        stored.descriptor = descriptor;
        stored.crc = 0xDEADBEEF;
        damaged.push_back(stored);
        // Deflated data that inflates cleanly, to the wrong bytes: only the CRC tells.
        Entry deflated = Deflated("bad.eml", sent, descriptor);
        deflated.payload = RawDeflate(changed);
        damaged.push_back(deflated);
    }
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        Reader reader = Open(Archive({damaged[i], Stored("ok.meta", "fine")}), 1000);
        std::wstring error = NextError(reader.get());
        EXPECT_NE(error.find(L"Entry 'bad.eml' is damaged"), std::wstring::npos) << error;
        EXPECT_EQ(MetaOf(reader->GetNextEntry()), "fine");
    }
}

TEST_F(ZipReaderTest, HostileArchivesGiveErrors) {
    std::string mime = "Subject: s\r\n\r\n" + Text(5000);
    struct Case {
        const char* what;
        Entry entry;
        const wchar_t* message;
    };
    Entry stored4G = Stored("huge.eml", "tiny");
    stored4G.compressedSize = 0xFFFFFFFF;
    stored4G.uncompressedSize = 0xFFFFFFFF;
    Entry storedShort = Stored("short.eml", "0123456789");
    storedShort.uncompressedSize = 4;
    Entry storedSizesDiffer = Stored("differ.eml", "0123456789");
    storedSizesDiffer.uncompressedSize = 20;
    Entry deflateNoEnd = Deflated("noend.eml", mime, false);
    deflateNoEnd.payload = RawDeflate(mime).substr(0, 100);
    Entry deflateGarbage = Deflated("garbage.eml", mime);
    deflateGarbage.payload = std::string(200, '\xff');
    Entry deflateOversize = Deflated("oversize.eml", mime, false);
    deflateOversize.uncompressedSize = 100;
    Entry descriptorLies = Deflated("lies.eml", mime);
    descriptorLies.uncompressedSize = 4999;
    Entry method = Stored("m.eml", "x");
    method.method = 12;
    Entry encrypted = Stored("e.eml", "x");
    encrypted.flags = 1;

    std::vector<Case> cases = {
        {"stored entry claiming 4 GiB", stored4G, L"ZipInputStreamImpl::ReadRaw: Failed to read data."},
        {"stored data longer than its size", storedShort, L"holds more than 4 bytes"},
        {"stored sizes that differ", storedSizesDiffer, L"its sizes say"},
        {"deflate stream that never ends", deflateNoEnd, L"ZipInputStreamImpl::ReadRaw: Failed to read data."},
        {"deflate garbage", deflateGarbage, L"has bad deflated data"},
        {"inflates past its size", deflateOversize, L"holds more than 100 bytes"},
        {"descriptor with a wrong size", descriptorLies, L"its sizes say"},
        {"wrong method", method, L"ZipInputStreamImpl::GetNextEntry: Wrong compression method: 12."},
        {"encrypted", encrypted, L"is encrypted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Reader reader = Open(Archive({c.entry}, c.entry.name != "huge.eml" && c.entry.name != "noend.eml"));
        std::wstring error = NextError(reader.get());
        EXPECT_NE(error.find(c.message), std::wstring::npos) << error;
    }

    // A Zip64 size beyond 4 GiB.
    std::string archive = LocalEntry(Stored("z.eml", "x"));
    std::string header = archive.substr(0, 30);
    header[18] = header[19] = header[20] = header[21] = '\xff';
    header[22] = header[23] = header[24] = header[25] = '\xff';
    header[28] = 20;
    header += "z.eml";
    Put16(header, 1);
    Put16(header, 16);
    Put64(header, 0x100000000ull);
    Put64(header, 1);
    Reader reader = Open(header + "x");
    EXPECT_NE(NextError(reader.get()).find(L"larger than 4 GiB"), std::wstring::npos);

    // A file name longer than what follows.
    std::string named = LocalEntry(Stored("n.eml", "x")).substr(0, 30);
    named[26] = '\x00';
    named[27] = '\x10';
    Reader nameReader = Open(named + "abc");
    EXPECT_EQ(NextError(nameReader.get()), L"ZipInputStreamImpl::GetNextEntry: Failed to read file name.");
    // After such a failure the reader does not read on.
    EXPECT_EQ(NextError(nameReader.get()), L"ZipInputStreamImpl::GetNextEntry: Failed to read file name.");
}

TEST_F(ZipReaderTest, EveryTruncationFailsCleanly) {
    std::string archive = Archive({Stored("1.meta", "meta one"), Deflated("1.eml", "Subject: one\r\n\r\n" + Text(700)),
                                   Stored("2.meta", "meta two"), Deflated("2.eml", Text(300), false)},
                                  false);
    for (size_t cut = 0; cut < archive.size(); ++cut) {
        Reader reader = Open(archive.substr(0, cut));
        int entries = 0;
        bool failed = false;
        for (int i = 0; i < 8 && !failed; ++i) {
            try {
                reader->GetNextEntry();
                ++entries;
            } catch (const ZipInputStreamImpl::Exception&) {
                failed = true;
            }
        }
        ASSERT_TRUE(failed) << cut;
        ASSERT_LT(entries, 4) << cut;
    }
}

TEST_F(ZipReaderTest, ReadSkipAndCloseOnTheCurrentEntry) {
    Reader reader =
        Open(Archive({Stored("a.err", "0123456789"), Deflated("b.err", "abcdefghij"), Stored("c.meta", "c")}));
    EXPECT_EQ(reader->Read(nullptr, 0), -1);  // no entry yet
    EXPECT_EQ(reader->Skip(5), 0);
    NextError(reader.get());
    EXPECT_EQ(reader->Skip(4), 4);
    char buf[16] = {};
    EXPECT_EQ(reader->Read(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "456");
    EXPECT_EQ(reader->Skip(100), 3);
    EXPECT_EQ(reader->Read(buf, 3), -1);  // stored: -1 at the end

    NextError(reader.get());
    EXPECT_EQ(reader->Read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(reader->Skip(100), 6);
    EXPECT_EQ(reader->Read(buf, 4), 0);  // deflated: 0 at the end
    reader->CloseEntry();
    EXPECT_EQ(reader->GetCurrentEntry(), nullptr);
    reader->Close();
    EXPECT_EQ(MetaOf(reader->GetNextEntry()), "c");
}

TEST_F(ZipReaderTest, NextEntryAsStreamConvertsLineEndsAndSeeksBack) {
    std::string mime = "Subject: s\n\nline one\nline two\r\n";
    Reader reader = Open(Archive({Stored("1.meta", "a\nb"), Deflated("1.eml", mime)}));
    Platform::ComPtr<IStream> pMeta;
    pMeta.Attach(reader->GetNextEntryAsStream());
    ASSERT_TRUE(pMeta);
    EXPECT_EQ(ReadAll(pMeta.Get()), "a\r\nb");

    Platform::ComPtr<IStream> pMime;
    pMime.Attach(reader->GetNextEntryAsStream());
    ASSERT_TRUE(pMime);
    const std::string expected = "Subject: s\r\n\r\nline one\r\nline two\r\n";
    EXPECT_EQ(ReadAll(pMime.Get(), 3), expected);
    LARGE_INTEGER start{};
    ULARGE_INTEGER pos{};
    ASSERT_EQ(pMime->Seek(start, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(ReadAll(pMime.Get()), expected);

    // The streams do not depend on the reader or its entries.
    EXPECT_EQ(NextError(reader.get()), kEndOfArchive);
    reader.reset();
    ASSERT_EQ(pMime->Seek(start, STREAM_SEEK_SET, &pos), S_OK);
    EXPECT_EQ(ReadAll(pMime.Get()), expected);
}

TEST_F(ZipReaderTest, LargeEntryAsStreamReadsFromTheFile) {
    std::string mime = Text(kBlock + 10);
    Reader reader = Open(Archive({Deflated("big.eml", mime)}));
    Platform::ComPtr<IStream> pStream;
    pStream.Attach(reader->GetNextEntryAsStream());
    ASSERT_TRUE(pStream);
    std::string crlf;
    for (char ch : mime) {
        if (ch == '\n')
            crlf += '\r';
        crlf += ch;
    }
    EXPECT_TRUE(ReadAll(pStream.Get(), 65536) == crlf);
    reader.reset();
    EXPECT_EQ(SpoolFiles(), 1u);
    pStream = nullptr;
    EXPECT_EQ(SpoolFiles(), 0u);
}

TEST_F(ZipReaderTest, SourceFailureIsAnError) {
    std::string archive = Archive({Deflated("1.eml", Text(10000))}, false);
    Platform::ComPtr<TrickleStream> pSource = MakeTrickle(archive.substr(0, archive.size() / 2), 512, E_FAIL);
    Reader reader(Ostrel::Rpc::ZipInputStream::CreateZipInputStream(pSource.Get(), nullptr, 0));
    EXPECT_EQ(NextError(reader.get()), L"ZipInputStreamImpl::ReadRaw: Failed to read data.");
}

}  // namespace
