// The stream channel: opening passes, reading the document in portions, writing text
// into the tree, positions, failures, and what a pass leaves behind when it ends.
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <map>

namespace {

using namespace std::string_literals;

const std::string root_start = std::string(xml_declaration) + "<KEY name=\"ZCONF_ROOT\">\n";
const uint32_t clear = ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR;

// A tree with depth, several values per key and a volatile key that is passed over.
void make_sample_tree() {
    ASSERT_EQ(write_document(saved_tree("A{|B{|C{|D{|DWORD one=3|DWORD two=3|DWORD three=3|}|}|"
                                        "E{|}|}|}|Z{|}")),
              0);
    ZConfKeyHandle v;
    uint32_t disposition;
    ASSERT_EQ(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "A\\Tmp", 1, &disposition, &v), 0);
    ASSERT_EQ(set_dword(v, "hidden", 1), 0);
    ASSERT_EQ(ZConfCloseKey(v), 0);
}

// open_count of every key, by path.
void open_counts(zconf_key *key, const std::string &path, std::map<std::string, int> &out) {
    out[path] = key->open_count;
    for (zconf_list *l = key->subkeys.next; l != &key->subkeys; l = l->next)
        open_counts(zconf_key_of(l), path + "/" + zconf_key_of(l)->name, out);
}

// Reads from *fpos on in reads of `count` bytes until one gives nothing; every read but
// the last that gives bytes is full.
std::string read_rest(uint32_t count, uint32_t &fpos) {
    std::string out, buf(count, '\0');
    for (int32_t n; (n = zconf_xml_read(buf.data(), count, &fpos)) > 0;) {
        EXPECT_EQ(out.size() % count, 0u) << "a short read came before the end";
        out.append(buf, 0, static_cast<size_t>(n));
    }
    return out;
}

// The result of a write and what it printed.
std::pair<int32_t, std::string> write_printing(const std::string &text, uint32_t *fpos) {
    testing::internal::CaptureStdout();
    int32_t rc = zconf_xml_write(text.data(), static_cast<uint32_t>(text.size()), fpos);
    return {rc, testing::internal::GetCapturedStdout()};
}

TEST_F(Store, OpenModesChooseThePassAndClearOnlyForWriting) {
    const struct {
        uint32_t mode;
        int32_t rc;
        uint32_t pass;
    } cases[] = {{0, 0, 2}, {1, 0, 1}, {2, 0, 2}, {3, -13, 0},
                 {4, 0, 2}, {5, 0, 1}, {6, 0, 2}, {7, -13, 0}};
    for (const auto &c : cases) {
        ASSERT_EQ(make_key("K"), 0);
        EXPECT_EQ(zconf_xml_open(c.mode), c.rc) << c.mode;
        EXPECT_EQ(zconf_xml_open_mode, c.pass) << c.mode;
        for (uint32_t again : {1u, 2u, 6u})
            EXPECT_EQ(c.rc == 0 ? zconf_xml_open(again) : -16, -16);
        EXPECT_EQ(zconf_xml_open_mode, c.pass);
        EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "K") == nullptr, c.pass == 2 && c.mode >= 4);
        EXPECT_EQ(c.pass == 1 ? zconf_xml_read_done() : zconf_xml_write_done(), 0);
        EXPECT_EQ(zconf_xml_open_mode, 0u);
        EXPECT_EQ(ZCONF_ROOT->open_count, 0);
    }
}

TEST_F(Store, ClearingWaitsForOpenKeysAndThenDeletesAtOnce) {
    ASSERT_EQ(make_key("A\\B"), 0);
    ZConfKeyHandle h;
    ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "A\\B", ZCONF_KEY_READ, &h), 0);
    for (uint32_t mode : {4u, 6u}) {
        EXPECT_EQ(zconf_xml_open(mode), -16);
        EXPECT_EQ(zconf_xml_open_mode, 0u);
        EXPECT_NE(__zconf_find_subkey(ZCONF_ROOT, "A"), nullptr);
    }
    ASSERT_EQ(ZConfCloseKey(h), 0);
    zconf_key *a = __zconf_find_subkey(ZCONF_ROOT, "A");
    __zconf_mark_key_open(a); // a single reference below the root is enough
    EXPECT_EQ(ZCONF_ROOT->open_count, 1);
    EXPECT_EQ(zconf_xml_open(4), -16);
    __zconf_mark_key_closed(a);
    ASSERT_EQ(zconf_xml_open(6), 0);
    EXPECT_TRUE(zconf_list_empty(&ZCONF_ROOT->subkeys)) << "deleted before anything is written";
    uint32_t fpos = 0;
    EXPECT_EQ(write_printing(root_start + "\t<KEY name=\"New\">text</KEY>\n</KEY>\n", &fpos).first,
              -22);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_TRUE(zconf_list_empty(&ZCONF_ROOT->subkeys)) << "a failed document restores nothing";
}

TEST_F(Store, TheDocumentReadsTheSameInPortionsOfAnySizeFromItsOwnPositionOnly) {
    EXPECT_EQ(read_document(), empty_document());
    make_sample_tree();
    const std::string whole = read_document();
    EXPECT_EQ(whole.find("Tmp"), std::string::npos);
    for (uint32_t count : {1u, 2u, 7u, 43u, 44u, 45u, 4096u}) {
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        uint32_t fpos = 0;
        EXPECT_EQ(read_rest(count, fpos), whole) << count;
        EXPECT_EQ(fpos, whole.size());
        EXPECT_EQ(read_rest(count, fpos), "") << "the end stays the end";
        EXPECT_EQ(zconf_xml_read_done(), 0);
    }
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    std::string got, buf(50, '\0');
    uint32_t fpos = 0;
    for (uint32_t count : {10u, 34u, 50u}) { // ends at 44, a piece boundary, then inside one
        ASSERT_EQ(zconf_xml_read(buf.data(), count, &fpos), static_cast<int32_t>(count));
        got.append(buf, 0, count);
        for (uint32_t wrong : {0u, fpos - 1, fpos + 1, 100000u}) {
            uint32_t at = wrong;
            EXPECT_EQ(zconf_xml_read(buf.data(), 50, &at), 0) << wrong;
            EXPECT_EQ(at, wrong);
        }
    }
    EXPECT_EQ(got + read_rest(uint32_t(whole.size()), fpos), whole);
    EXPECT_EQ(zconf_xml_read_done(), 0);
}

// A read that ends exactly where a key's last line before its end line ends lets go of
// the key at once: a key deleted right after that read is freed, not left pending.
TEST_F(Store, AKeyWhoseLinesAreDeliveredCanBeDeletedBetweenReads) {
    for (std::string a : {"A{", "A{|DWORD v=0x00000007"}) { // A up to its end line
        ASSERT_EQ(write_document(saved_tree(a + "|}|B{|}")), 0);
        const std::string head = root_start + tree_lines(a);
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        std::string got(head.size(), '\0');
        uint32_t fpos = 0;
        ASSERT_EQ(zconf_xml_read(got.data(), root_start.size(), &fpos), int32_t(root_start.size()));
        ASSERT_EQ(zconf_xml_read(got.data() + fpos, head.size() - fpos, &fpos),
                  int32_t(head.size() - root_start.size()));
        EXPECT_EQ(got, head);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, "A"), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "A"), nullptr) << a;
        EXPECT_EQ(read_rest(4096, fpos), "\t</KEY>\n" + tree_lines("B{|}") + "</KEY>\n")
            << "the key's end line was made already";
        EXPECT_EQ(zconf_xml_read_done(), 0);
        EXPECT_EQ(read_document(), saved_tree("B{|}"));
        DoviZUZClose(FindhConn());
        EXPECT_EQ(ZCONF_ROOT->open_count, 0);
        ASSERT_EQ(make_key("A"), 0) << "the name is free again";
        EXPECT_EQ(write_document("", clear), 0);
    }
}

TEST_F(Store, AWriteAtAnotherPositionIsRefusedWithAMessage) {
    const std::string doc = saved_tree("W{|}");
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    uint32_t fpos = 0;
    EXPECT_EQ(write_printing(doc.substr(0, 70), &fpos), std::make_pair(70, ""s));
    EXPECT_EQ(fpos, 70u);
    for (uint32_t wrong : {0u, 69u, 71u, 4000000000u}) {
        uint32_t at = wrong;
        EXPECT_EQ(write_printing(doc.substr(70), &at),
                  std::make_pair(0, "zconf_xml_write: ERROR: invalid *fpos value, expected 70, "
                                    "requested " +
                                        std::to_string(wrong) + "\n"));
        EXPECT_EQ(at, wrong);
    }
    EXPECT_EQ(write_printing(doc.substr(70), &fpos), std::make_pair(int32_t(doc.size() - 70), ""s));
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_NE(__zconf_find_subkey(ZCONF_ROOT, "W"), nullptr);
}

TEST_F(Store, FailedDocumentsLeaveTheTreeAsItWas) {
    make_sample_tree();
    const std::string before = read_document();
    const std::string bad_tails[] = {
        "\t<KEY name=\"New\">stray text</KEY>\n</KEY>\n",
        "\t<KEY name=\"New\"></KEY>\n\t<KEY name=\"A\"><VALUE_SZ name=\"x\">1</KEY></KEY>\n",
        "<KEY name=\"" + std::string(41000, 'n') + "\">"};
    for (const auto &tail : bad_tails) {
        const bool overflow = tail.size() > 40960;
        for (size_t piece : {SIZE_MAX, overflow ? size_t{1000} : size_t{7}}) {
            const std::string doc = root_start + tail;
            ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
            uint32_t fpos = 0;
            int32_t rc = 1;
            std::string out;
            for (size_t at = 0; rc > 0 && at < doc.size();
                 at += static_cast<size_t>(std::max(rc, 0))) {
                std::tie(rc, out) = write_printing(doc.substr(at, piece), &fpos);
                EXPECT_EQ(fpos, at + std::max(rc, 0)) << "accepted bytes advance it";
            }
            EXPECT_EQ(rc, overflow ? -75 : -22) << tail.substr(0, 60);
            // A refused tag is also reported by the tokenizer, on the line before.
            EXPECT_TRUE(out.ends_with(overflow ? "zconf_xml_write: ERROR: write buffer overflow: "
                                                 "xml_write_buff.unprocLen=0\n"
                                               : "zconf_xml_write: ERROR while parsing input "
                                                 "data!\n"))
                << out;
            // The pass stays failed: even good text is refused until it is ended.
            EXPECT_EQ(zconf_xml_write("</KEY>\n", 7, &fpos), -22);
            EXPECT_EQ(zconf_xml_write_done(), 0);
            EXPECT_EQ(read_document(), before);
        }
    }
}

TEST_F(Store, AnAbandonedReadPassGivesBackItsReferences) {
    make_sample_tree();
    std::map<std::string, int> counts, now;
    open_counts(ZCONF_ROOT, "", counts);
    const size_t length = read_document().size();
    char byte;
    for (uint32_t stop = 0; stop <= length + 1; stop++) {
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        uint32_t fpos = 0;
        while (fpos < stop && zconf_xml_read(&byte, 1, &fpos) > 0) {
        }
        if (stop == 200) { // inside the values of A/B/C/D
            EXPECT_EQ(ZCONF_ROOT->open_count, 5) << "the walk holds the keys on its path";
        }
        EXPECT_EQ(zconf_xml_read_done(), 0);
        open_counts(ZCONF_ROOT, "", now);
        EXPECT_EQ(now, counts) << "stopped at " << stop;
    }
    EXPECT_EQ(write_document("", clear), 0);
}

TEST_F(Store, ReadsAndWritesOnlyInsideTheirOwnPassAndEachDoneEndsEither) {
    char buf[200];
    uint32_t fpos = 0;
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    for (uint32_t pass : {0u, 1u, 2u}) {
        ASSERT_EQ(pass == 0 ? 0 : zconf_xml_open(pass), 0);
        EXPECT_EQ(zconf_xml_read(nullptr, 1, &fpos), -14);
        EXPECT_EQ(zconf_xml_write(nullptr, 1, &fpos), -14);
        EXPECT_EQ(zconf_xml_read(buf, 1, &fpos), pass == 1 ? 1 : -22);
        EXPECT_EQ(zconf_xml_write("<", 1, &(fpos = 0)), pass == 2 ? 1 : -22);
        EXPECT_EQ(fpos, pass == 2 ? 1u : 0u);
        EXPECT_EQ(zconf_xml_write_done(), 0);
    }
    make_sample_tree();
    const std::string before = read_document();
    // A read done discards a complete document written so far.
    const std::string doc = saved_tree("Lost{|}");
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    EXPECT_EQ(zconf_xml_write(doc.data(), 30, &(fpos = 0)), 30);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &fpos), -22);
    EXPECT_EQ(zconf_xml_write(doc.data() + 30, doc.size() - 30, &fpos), int32_t(doc.size() - 30))
        << "the write pass goes on";
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_open_mode, 0u);
    EXPECT_EQ(zconf_xml_write_done(), 0) << "done twice is harmless";
    EXPECT_EQ(read_document(), before);
    // A write done in the middle of a read pass gives back the walk's references; writes
    // during the read pass change nothing.
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &(fpos = 0)), int32_t(sizeof buf));
    EXPECT_EQ(zconf_xml_write(doc.data(), doc.size(), &fpos), -22);
    EXPECT_EQ(std::string(buf, sizeof buf) + read_rest(4096, fpos), before);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_EQ(ZCONF_ROOT->open_count, 0);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &(fpos = 0)), -22) << "after the done";
    EXPECT_EQ(write_document("", clear), 0);
}

TEST_F(Store, ReadsWithoutMemoryRetryWithoutAGap) {
    make_sample_tree();
    const std::string whole = read_document();
    const uint32_t nodes = live_nodes();
    for (uint32_t count : {1u, 10u}) {
        std::string got;
        int enomem = 0;
        auto open = [] { ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0); };
        auto read_whole_pass = [&](int32_t) {
            std::string buf(count, '\0');
            uint32_t fpos = 0;
            got.clear();
            enomem = 0;
            for (int32_t r; (r = zconf_xml_read(buf.data(), count, &fpos)) != 0;) {
                ASSERT_TRUE(r > 0 || r == -12) << r;
                enomem += r < 0;
                got.append(buf, 0, static_cast<size_t>(std::max(r, 0)));
            }
        };
        fail_each_allocation_in_turn(open, read_whole_pass, [&](int32_t n, bool fired) {
            EXPECT_EQ(zconf_xml_read_done(), 0);
            EXPECT_EQ(got, whole) << "failing allocation " << n << ", reads of " << count;
            // The refusal reaches the caller only when the read has nothing else to give.
            EXPECT_LE(enomem, fired ? 1 : 0) << n;
            EXPECT_EQ(live_nodes(), nodes);
            EXPECT_EQ(ZCONF_ROOT->open_count, 0);
        });
    }
}

TEST_F(Store, OpeningWithoutMemoryLeavesTheChannelClosed) {
    make_sample_tree();
    ASSERT_EQ(make_key("K"), 0);
    const std::string whole = read_document();
    for (uint32_t mode : {1u, 2u, 6u}) {
        int32_t rc = 0;
        auto make_k = [] { ASSERT_EQ(make_key("K"), 0); };
        auto open_pass = [&](int32_t) { rc = zconf_xml_open(mode); };
        fail_each_allocation_in_turn(make_k, open_pass, [&](int32_t n, bool fired) {
            EXPECT_EQ(rc, fired ? -12 : 0) << mode << " " << n;
            EXPECT_EQ(zconf_xml_open_mode, fired ? 0u : mode & 3);
            EXPECT_EQ(zconf_xml_write_done(), 0);
            EXPECT_EQ(ZCONF_ROOT->open_count, 0);
            EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "K") == nullptr, mode == 6);
        });
        EXPECT_EQ(read_document(), mode == 6 ? empty_document() : whole);
    }
}

} // namespace
