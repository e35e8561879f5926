// The stream channel: opening passes, reading the document in portions, writing text
// into the tree, positions, failures, and what a pass leaves behind when it ends.
#include "xml_test_support.h"
#include "zconf_test_support.h"

#include <map>

namespace {

using namespace std::string_literals;

const std::string root_start = std::string(xml_declaration) + "<KEY name=\"ZCONF_ROOT\">\n";

// A tree with depth, several values per key and a volatile key that is passed over.
void make_sample_tree() {
    ZConfKeyHandle d, v;
    uint32_t disposition;
    ASSERT_EQ(ZConfCreateKey(ZCONF_HKEY_ROOT, "A\\B\\C\\D", &d), 0);
    for (const char *name : {"one", "two", "three"})
        ASSERT_EQ(set_dword(d, name, 3), 0);
    ASSERT_EQ(ZConfCreateKeyEx(ZCONF_HKEY_ROOT, "A\\Tmp", 1, &disposition, &v), 0);
    ASSERT_EQ(set_dword(v, "hidden", 1), 0);
    ASSERT_EQ(ZConfCloseKey(d), 0);
    ASSERT_EQ(make_key("A\\B\\E"), 0);
    ASSERT_EQ(make_key("Z"), 0);
}

// open_count of every key, by path.
void open_counts(zconf_key *key, const std::string &path, std::map<std::string, int> &out) {
    out[path] = key->open_count;
    for (zconf_list *l = key->subkeys.next; l != &key->subkeys; l = l->next)
        open_counts(zconf_key_of(l), path + "/" + zconf_key_of(l)->name, out);
}
std::map<std::string, int> open_counts() {
    std::map<std::string, int> out;
    open_counts(ZCONF_ROOT, "", out);
    return out;
}

// Reads a pass to its end in reads of `count` bytes; every read but the last is full.
std::string read_pass(uint32_t count) {
    std::string out, buf(count, '\0');
    uint32_t fpos = 0;
    for (int32_t n; (n = zconf_xml_read(buf.data(), count, &fpos)) > 0;) {
        out.append(buf, 0, static_cast<size_t>(n));
        EXPECT_EQ(fpos, out.size());
        if (static_cast<uint32_t>(n) < count) {
            EXPECT_EQ(zconf_xml_read(buf.data(), count, &fpos), 0) << "a short read ends it";
            break;
        }
    }
    EXPECT_EQ(zconf_xml_read(buf.data(), count, &fpos), 0);
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
        bool clears;
    } cases[] = {{0, 0, 2, false}, {1, 0, 1, false}, {2, 0, 2, false}, {3, -13, 0, false},
                 {4, 0, 2, true},  {5, 0, 1, false}, {6, 0, 2, true},  {7, -13, 0, false}};
    for (const auto &c : cases) {
        ASSERT_EQ(make_key("K"), 0);
        EXPECT_EQ(zconf_xml_open(c.mode), c.rc) << c.mode;
        EXPECT_EQ(zconf_xml_open_mode, c.pass) << c.mode;
        if (c.rc == 0) {
            for (uint32_t again : {1u, 2u, 6u})
                EXPECT_EQ(zconf_xml_open(again), -16);
            EXPECT_EQ(zconf_xml_open_mode, c.pass);
        }
        EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "K") == nullptr, c.clears) << c.mode;
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
    ASSERT_EQ(zconf_xml_open(6), 0);
    EXPECT_TRUE(zconf_list_empty(&ZCONF_ROOT->subkeys)) << "deleted before anything is written";
    uint32_t fpos = 0;
    auto [rc, out] = write_printing(root_start + "\t<KEY name=\"New\">text</KEY>\n</KEY>\n", &fpos);
    EXPECT_EQ(rc, -22);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_TRUE(zconf_list_empty(&ZCONF_ROOT->subkeys)) << "a failed document restores nothing";
}

TEST_F(Store, TheDocumentReadsTheSameInPortionsOfAnySize) {
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    EXPECT_EQ(read_pass(1000), empty_document());
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(empty_document().size(), 75u);
    make_sample_tree();
    const std::string whole = read_document();
    EXPECT_EQ(whole.substr(0, 44), xml_declaration);
    EXPECT_EQ(whole.find("Tmp"), std::string::npos);
    for (uint32_t count : {1u, 2u, 7u, 43u, 44u, 45u, 4096u}) {
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        EXPECT_EQ(read_pass(count), whole) << count;
        EXPECT_EQ(zconf_xml_read_done(), 0);
    }
}

TEST_F(Store, AReadAtAnotherPositionReadsNothing) {
    make_sample_tree();
    const std::string whole = read_document();
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    std::string got, buf(50, '\0');
    uint32_t fpos = 0;
    for (uint32_t count : {10u, 34u, 50u}) { // ends at 44, a piece boundary, then inside one
        int32_t n = zconf_xml_read(buf.data(), count, &fpos);
        ASSERT_EQ(n, static_cast<int32_t>(count));
        got.append(buf, 0, count);
        for (uint32_t wrong : {0u, fpos - 1, fpos + 1, 100000u}) {
            uint32_t at = wrong;
            EXPECT_EQ(zconf_xml_read(buf.data(), 50, &at), 0) << wrong;
            EXPECT_EQ(at, wrong);
        }
    }
    EXPECT_EQ(got.size(), 94u);
    std::string rest(whole.size(), '\0');
    int32_t n = zconf_xml_read(rest.data(), static_cast<uint32_t>(rest.size()), &fpos);
    ASSERT_GT(n, 0);
    EXPECT_EQ(got + rest.substr(0, static_cast<size_t>(n)), whole);
    EXPECT_EQ(zconf_xml_read_done(), 0);
}

// A read that ends exactly where a key's last line before its end line ends lets go of
// the key at once: a key deleted right after that read is freed, not left pending.
TEST_F(Store, AKeyWhoseLinesAreDeliveredCanBeDeletedBetweenReads) {
    const struct {
        bool with_value;
        std::string lines; // the lines of A before its end line
    } cases[] = {
        {false, "\t<KEY name=\"A\">\n"},
        {true, "\t<KEY name=\"A\">\n\t\t<VALUE_DWORD name=\"v\">0x00000007</VALUE_DWORD>\n"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(make_key("A"), 0);
        ASSERT_EQ(make_key("B"), 0);
        if (c.with_value) {
            ZConfKeyHandle h;
            ASSERT_EQ(ZConfOpenKeyEx(ZCONF_HKEY_ROOT, "A", ZCONF_KEY_ALL, &h), 0);
            ASSERT_EQ(set_dword(h, "v", 7), 0);
            ASSERT_EQ(ZConfCloseKey(h), 0);
        }
        const std::string head = root_start + c.lines;
        const std::string tail = "\t</KEY>\n\t<KEY name=\"B\">\n\t</KEY>\n</KEY>\n";
        ASSERT_EQ(read_document(), head + tail);
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        std::string got(head.size(), '\0');
        uint32_t fpos = 0;
        ASSERT_EQ(zconf_xml_read(got.data(), root_start.size(), &fpos), int32_t(root_start.size()));
        const auto rest = static_cast<uint32_t>(c.lines.size());
        ASSERT_EQ(zconf_xml_read(got.data() + fpos, rest, &fpos), int32_t(rest));
        EXPECT_EQ(got, head);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ZConfDeleteKey(ZCONF_HKEY_ROOT, "A"), 0);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "A"), nullptr) << c.lines;
        std::string more(tail.size() + 1, '\0');
        EXPECT_EQ(zconf_xml_read(more.data(), static_cast<uint32_t>(more.size()), &fpos),
                  int32_t(tail.size()));
        EXPECT_EQ(more.substr(0, tail.size()), tail) << "the key's end line was made already";
        EXPECT_EQ(zconf_xml_read_done(), 0);
        EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "A"), nullptr) << "nothing left pending";
        EXPECT_EQ(read_document(), root_start + "\t<KEY name=\"B\">\n\t</KEY>\n</KEY>\n");
        DoviZUZClose(FindhConn());
        EXPECT_EQ(ZCONF_ROOT->open_count, 0);
        ASSERT_EQ(make_key("A"), 0) << "the name is free again";
        EXPECT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
        EXPECT_EQ(zconf_xml_write_done(), 0);
    }
}

TEST_F(Store, AWriteAtAnotherPositionIsRefusedWithAMessage) {
    const std::string doc = root_start + "\t<KEY name=\"W\">\n\t</KEY>\n</KEY>\n";
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    uint32_t fpos = 0;
    EXPECT_EQ(write_printing(doc.substr(0, 70), &fpos).first, 70);
    EXPECT_EQ(fpos, 70u);
    for (uint32_t wrong : {0u, 69u, 71u, 4000000000u}) {
        uint32_t at = wrong;
        auto [rc, out] = write_printing(doc.substr(70), &at);
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(at, wrong);
        EXPECT_EQ(out, "zconf_xml_write: ERROR: invalid *fpos value, expected 70, requested " +
                           std::to_string(wrong) + "\n");
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
        "\t<KEY name=\"A\">\x01</KEY>\n</KEY>\n",
        "\t<VALUE_SZ name=\"top\">1</VALUE_SZ>\n</KEY>\n",
        "<KEY name=\"" + std::string(41000, 'n') + "\">",
    };
    for (const auto &tail : bad_tails) {
        const bool overflow = tail.size() > 40960;
        for (size_t piece : {SIZE_MAX, overflow ? size_t{1000} : size_t{7}}) {
            const std::string doc = root_start + tail;
            ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
            uint32_t fpos = 0;
            auto [rc, out] = std::make_pair(0, ""s);
            for (size_t at = 0; at < doc.size(); at += static_cast<size_t>(rc)) {
                std::tie(rc, out) = write_printing(doc.substr(at, piece), &fpos);
                if (rc <= 0)
                    break;
                EXPECT_EQ(fpos, at + static_cast<size_t>(rc)) << "accepted bytes advance it";
            }
            EXPECT_EQ(rc, overflow ? -75 : -22) << tail.substr(0, 60);
            // A refused tag is also reported by the tokenizer, on the line before.
            EXPECT_TRUE(out.ends_with(overflow ? "zconf_xml_write: ERROR: write buffer overflow: "
                                                 "xml_write_buff.unprocLen=0\n"
                                               : "zconf_xml_write: ERROR while parsing input "
                                                 "data!\n"))
                << out;
            // The pass stays failed: even good text is refused until it is ended.
            const std::string good = "\t<KEY name=\"Late\"/>\n</KEY>\n";
            EXPECT_EQ(zconf_xml_write(good.data(), good.size(), &fpos), -22);
            EXPECT_EQ(zconf_xml_write_done(), 0);
            EXPECT_EQ(read_document(), before);
        }
    }
}

TEST_F(Store, AnAbandonedReadPassGivesBackItsReferences) {
    make_sample_tree();
    const auto counts = open_counts();
    const size_t length = read_document().size();
    std::string buf(length + 1, '\0');
    for (uint32_t stop = 0; stop <= length + 1; stop++) {
        ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
        uint32_t fpos = 0;
        while (fpos < stop && zconf_xml_read(buf.data(), 1, &fpos) > 0) {
        }
        if (stop == 200) { // inside the values of A/B/C/D
            EXPECT_EQ(ZCONF_ROOT->open_count, 5) << "the walk holds the keys on its path";
        }
        EXPECT_EQ(zconf_xml_read_done(), 0);
        EXPECT_EQ(open_counts(), counts) << "stopped at " << stop;
    }
    EXPECT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
    EXPECT_EQ(zconf_xml_write_done(), 0);
}

TEST_F(Store, ReadsAndWritesOnlyInsideTheirOwnPass) {
    char buf[16];
    uint32_t fpos = 0;
    EXPECT_EQ(zconf_xml_read(nullptr, 1, &fpos), -14);
    EXPECT_EQ(zconf_xml_write(nullptr, 1, &fpos), -14);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &fpos), -22) << "no pass open";
    EXPECT_EQ(zconf_xml_write("<", 1, &fpos), -22);
    // During a write pass, reads are refused and the write pass goes on undisturbed.
    const std::string doc = root_start + "\t<KEY name=\"Kept\">\n\t</KEY>\n</KEY>\n";
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    EXPECT_EQ(zconf_xml_write(doc.data(), 30, &fpos), 30);
    EXPECT_EQ(zconf_xml_read(nullptr, 1, &fpos), -14);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &fpos), -22);
    EXPECT_EQ(zconf_xml_write(nullptr, 1, &fpos), -14);
    EXPECT_EQ(fpos, 30u);
    EXPECT_EQ(zconf_xml_write(doc.data() + 30, doc.size() - 30, &fpos), int32_t(doc.size() - 30));
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_EQ(zconf_xml_write(doc.data(), doc.size(), &(fpos = 0)), -22) << "after the done";
    const std::string whole = read_document();
    EXPECT_NE(whole.find("Kept"), std::string::npos);
    // During a read pass, writes are refused and the document still comes out whole.
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    EXPECT_EQ(zconf_xml_read(buf, 10, &(fpos = 0)), 10);
    EXPECT_EQ(zconf_xml_write(doc.data(), doc.size(), &(fpos = 0)), -22);
    EXPECT_EQ(zconf_xml_write(doc.data(), doc.size(), &(fpos = 10)), -22);
    std::string rest(whole.size(), '\0');
    EXPECT_EQ(zconf_xml_read(rest.data(), rest.size(), &fpos), int32_t(whole.size() - 10));
    EXPECT_EQ(std::string(buf, 10) + rest.substr(0, whole.size() - 10), whole);
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &(fpos = 0)), -22) << "after the done";
}

TEST_F(Store, EachDoneEndsWhateverPassIsOpen) {
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    make_sample_tree();
    const std::string before = read_document();
    // A read done discards a complete document written so far.
    const std::string doc = root_start + "\t<KEY name=\"Lost\">\n\t</KEY>\n</KEY>\n";
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE), 0);
    uint32_t fpos = 0;
    EXPECT_EQ(zconf_xml_write(doc.data(), doc.size(), &fpos), int32_t(doc.size()));
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_open_mode, 0u);
    EXPECT_EQ(zconf_xml_write_done(), 0) << "done twice is harmless";
    EXPECT_EQ(read_document(), before);
    // A write done in the middle of a read pass gives back the walk's references.
    ASSERT_EQ(zconf_xml_open(ZCONF_XML_OPEN_READ), 0);
    char buf[200];
    EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &(fpos = 0)), int32_t(sizeof buf));
    EXPECT_GT(ZCONF_ROOT->open_count, 1);
    EXPECT_EQ(zconf_xml_write_done(), 0);
    EXPECT_EQ(zconf_xml_open_mode, 0u);
    EXPECT_EQ(ZCONF_ROOT->open_count, 0);
    EXPECT_EQ(zconf_xml_read_done(), 0);
    EXPECT_EQ(zconf_xml_open(ZCONF_XML_OPEN_WRITE | ZCONF_XML_OPEN_CLEAR), 0);
    EXPECT_EQ(zconf_xml_write_done(), 0);
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
                if (r == -12)
                    enomem++;
                else if (r > 0)
                    got.append(buf, 0, static_cast<size_t>(r));
                else
                    ADD_FAILURE() << r;
                if (r < 0 && r != -12)
                    break;
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
            if (!fired) {
                EXPECT_EQ(rc, 0);
                EXPECT_EQ(mode == 1 ? zconf_xml_read_done() : zconf_xml_write_done(), 0);
                return;
            }
            EXPECT_EQ(rc, -12) << mode << " " << n;
            EXPECT_EQ(zconf_xml_open_mode, 0u);
            EXPECT_EQ(ZCONF_ROOT->open_count, 0);
            EXPECT_EQ(__zconf_find_subkey(ZCONF_ROOT, "K") == nullptr, mode == 6);
            char buf[8];
            uint32_t fpos = 0;
            EXPECT_EQ(zconf_xml_read(buf, sizeof buf, &fpos), -22);
            EXPECT_EQ(zconf_xml_write("<", 1, &fpos), -22);
        });
        EXPECT_EQ(read_document(), mode == 6 ? empty_document() : whole);
    }
}

} // namespace
