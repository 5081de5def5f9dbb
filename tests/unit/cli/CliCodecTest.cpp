// The stored forms of the repository's files: compression and the sealed stream, each way,
// on whole texts and on files through the copier, and what a damaged stored copy turns into.

#include "CipherKey.h"
#include "Compression.h"
#include "DamagedStream.h"
#include "FileCopier.h"
#include "PieceChecksum.h"
#include "StoredDecoder.h"
#include "StoredEncoder.h"
#include "StreamSealer.h"
#include "TempTree.h"
#include "TestFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using pgulo::test::TestFiles;

const CipherKey& Key() {
    static const CipherKey key = CipherKey::Random();
    return key;
}

StoredForm Form(const std::string& compression, bool sealed) {
    StoredForm form;
    form.compression = Compression::Parse(compression);
    if (sealed)
        form.key = Key();
    return form;
}

// The stored bytes decoded, fed in pieces of the given size.
std::string Decode(const StoredForm& form, const std::string& stored, std::size_t piece) {
    std::string text;
    const ByteSink append = [&text](const char* d, std::size_t n) { text.append(d, n); };
    StoredDecoder decoder(form);
    for (std::size_t at = 0; at < stored.size(); at += piece)
        decoder.Put(stored.data() + at, std::min(piece, stored.size() - at), append);
    decoder.Finish(append);
    return text;
}

const char* const kMarker = "a marker no sealed byte may show";

// Texts at the edges: nothing, less than a sealed chunk, a sealed chunk exactly, and 16 MiB
// of zeros (a WAL segment: its decompressed size is a whole number of the decoder's buffers).
std::vector<std::string> Texts() {
    std::string mixed;
    while (mixed.size() < 300000)
        mixed += std::string(kMarker) + std::to_string(mixed.size());
    return {"", mixed.substr(0, 1000), mixed.substr(0, StreamSealer::kChunk), mixed,
            std::string(16 << 20, '\0')};
}

struct FormRow {
    const char* compression;
    bool sealed;
};

class StoredFormRoundTrip : public ::testing::TestWithParam<FormRow> {};

TEST_P(StoredFormRoundTrip, GivesBackEveryTextWhateverThePieces) {
    const StoredForm form = Form(GetParam().compression, GetParam().sealed);
    for (const std::string& text : Texts()) {
        const std::string stored = StoredEncoder::EncodeText(form, text);
        EXPECT_EQ(Decode(form, stored, stored.size() + 1), text) << text.size();
        EXPECT_EQ(Decode(form, stored, 777), text) << text.size();
        if (form.Encrypted()) {
            EXPECT_EQ(stored.find("marker"), std::string::npos);
        }
        if (!form.compression.None() && text.size() > 1000) {
            EXPECT_LT(stored.size(), text.size() / 2);
        }
    }
}

// Every way a stored copy can be cut short, and for a sealed one any byte changed or added,
// is refused; a plain copy cannot tell and leaves that to the checksum.
TEST_P(StoredFormRoundTrip, RefusesADamagedCopy) {
    const StoredForm form = Form(GetParam().compression, GetParam().sealed);
    const std::string text = Texts()[3];
    const std::string stored = StoredEncoder::EncodeText(form, text);
    if (form.Plain()) {
        const std::string cut = stored.substr(0, stored.size() / 2);
        EXPECT_EQ(Decode(form, cut, 4096), cut) << "a plain copy is the checksum's to judge";
        return;
    }
    std::vector<std::string> damaged = {stored.substr(0, stored.size() - 1),
                                        stored.substr(0, stored.size() / 2), ""};
    // Cut after a whole sealed chunk: every chunk left opens, only the end is missing.
    const std::size_t firstChunk = StreamSealer::kMagicSize + StreamSealer::kHeaderSize +
                                   StreamSealer::kChunk + StreamSealer::kOverhead;
    if (form.Encrypted() && stored.size() > firstChunk)
        damaged.push_back(stored.substr(0, firstChunk));
    if (form.Encrypted()) {
        std::string flipped = stored;
        flipped[stored.size() / 2] ^= 0x01;
        damaged.push_back(flipped);
        damaged.push_back(stored + "x");
    }
    for (const std::string& bad : damaged)
        EXPECT_THROW(Decode(form, bad, 4096), DamagedStream) << bad.size() << " of " << stored.size();
    if (form.Encrypted()) {
        StoredForm other = form;
        other.key = CipherKey::Random();
        EXPECT_THROW(Decode(other, stored, 4096), DamagedStream) << "another key";
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, StoredFormRoundTrip,
                         ::testing::Values(FormRow{"none", false}, FormRow{"zstd:1", false},
                                           FormRow{"lz4", false}, FormRow{"none", true},
                                           FormRow{"zstd:19", true}, FormRow{"lz4", true}),
                         [](const ::testing::TestParamInfo<FormRow>& info) {
                             std::string name = info.param.compression;
                             name.erase(std::remove(name.begin(), name.end(), ':'), name.end());
                             return name + (info.param.sealed ? "Sealed" : "");
                         });

// A file encoded by one copier and decoded by another comes back whole, with the checksum a
// plain copy gives, whatever the sizes of the reads and of the direct writes' tail.
TEST(StoredFormCopier, TranscodesBothWaysWithTheOriginalsChecksum) {
    const pgulo::test::TempTree tree("pgulo-codec");
    std::string text = Texts()[3];
    while (text.size() < (5u << 20) + 123)
        text += text;
    TestFiles::Write(tree.Path("original"), text);
    const StoredForm form = Form("zstd:3", true);
    FileCopier copier({});
    const FileCopier::Result stored =
        copier.Transcode(tree.Path("original"), StoredForm(), tree.Path("stored"), form, 0600);
    const FileCopier::Result back =
        FileCopier({}).Transcode(tree.Path("stored"), form, tree.Path("back"), StoredForm(), 0640);
    EXPECT_EQ(stored.checksum, PieceChecksum::OfText(text));
    EXPECT_EQ(back.checksum, stored.checksum);
    EXPECT_EQ(stored.bytes, text.size());
    EXPECT_EQ(back.stored, stored.stored);
    EXPECT_EQ(stored.stored, TestFiles::Read(tree.Path("stored")).size());
    EXPECT_EQ(TestFiles::Read(tree.Path("back")), text);
}

TEST(CompressionText, ReadsWhatItWritesAndRefusesTheRest) {
    for (const char* text : {"none", "lz4", "zstd:1", "zstd:19"})
        EXPECT_EQ(Compression::Parse(text).Text(), text);
    EXPECT_EQ(Compression::Parse("zstd").Text(), "zstd:3");
    for (const char* text : {"", "zstd:0", "zstd:20", "zstd:", "zstd:x", "gzip", "lz4:1", "ZSTD"})
        EXPECT_THROW(Compression::Parse(text), std::invalid_argument) << text;
}

} // namespace
