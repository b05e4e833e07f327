#include "playback/ogg/ogg_chain.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace radiolist::ogg {
namespace {

using Bytes = std::vector<std::byte>;

std::optional<std::string> textOf(const std::optional<SongTitle>& t) {
  return t ? std::optional(t->text) : std::nullopt;
}

Bytes bytesOf(std::string_view s) {
  const auto* p = reinterpret_cast<const std::byte*>(s.data());
  return {p, p + s.size()};
}

Bytes media(const std::string& name) {
  std::ifstream in(std::string(RL_OGG_MEDIA_DIR) + "/" + name, std::ios::binary | std::ios::ate);
  Bytes data(in ? static_cast<std::size_t>(in.tellg()) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
  EXPECT_FALSE(data.empty()) << name << " missing from " << RL_OGG_MEDIA_DIR;
  return data;
}

// A chain as Icecast sends it: whole files one after the other, with where each link starts.
struct Chain {
  Bytes bytes;
  std::vector<std::size_t> linkStarts;
};

Chain chainOf(const std::vector<std::string>& files) {
  Chain c;
  for (const auto& f : files) {
    c.linkStarts.push_back(c.bytes.size());
    const Bytes b = media(f);
    c.bytes.insert(c.bytes.end(), b.begin(), b.end());
  }
  return c;
}

// What came out of a splitter: the pages (with the input offset of each, found by the caller),
// which of them started a new link, and the titles taken after each page.
struct Output {
  Bytes concatenated;
  std::vector<std::size_t> newLinkAt;  // offsets in `concatenated` of pages with newLink
  std::vector<std::string> titles;
  std::vector<std::size_t> titlePage;  // index of the page after which each title came
  std::size_t pages = 0;
  std::size_t maxPending = 0;  // the largest pendingBytes() seen after draining
};

void drain(ChainSplitter& s, Output& out) {
  while (auto page = s.nextPage()) {
    if (page->newLink) out.newLinkAt.push_back(out.concatenated.size());
    out.concatenated.insert(out.concatenated.end(), page->bytes.begin(), page->bytes.end());
    ++out.pages;
    if (auto t = s.takeTitle()) {
      out.titles.push_back(t->text);
      out.titlePage.push_back(out.pages - 1);
    }
  }
  out.maxPending = std::max(out.maxPending, s.pendingBytes());
}

Output split(std::span<const std::byte> input, const std::function<std::size_t()>& chunk) {
  ChainSplitter s;
  Output out;
  while (!input.empty()) {
    const std::size_t n = std::min(input.size(), chunk());
    s.push(input.first(n));
    input = input.subspan(n);
    drain(s, out);
  }
  return out;
}

// Offsets and sizes of the pages of a file that is known to be well formed.
std::vector<std::pair<std::size_t, std::size_t>> pagesOf(std::span<const std::byte> file) {
  std::vector<std::pair<std::size_t, std::size_t>> pages;
  for (std::size_t at = 0; at + 27 <= file.size();) {
    const std::size_t segments = std::to_integer<std::size_t>(file[at + 26]);
    std::size_t size = 27 + segments;
    for (std::size_t i = 0; i < segments; ++i)
      size += std::to_integer<std::size_t>(file[at + 27 + i]);
    pages.emplace_back(at, size);
    at += size;
  }
  return pages;
}

std::vector<std::size_t> laterLinks(const Chain& c) {
  return {c.linkStarts.begin() + 1, c.linkStarts.end()};
}

const std::vector<std::string> kMixedFiles{"vorbis.ogg", "opus.ogg", "flac.ogg", "vorbis.ogg"};
const std::vector<std::string> kMixedTitles{"Vorbis Artist - Vorbis Song",
                                            "Opus Artist - Opus Song", "Flac Artist - Flac Song",
                                            "Vorbis Artist - Vorbis Song"};

TEST(ChainSplitter, GivesEveryPageWholeWithLinksAndTitlesHoweverTheBytesArrive) {
  const Chain chain = chainOf(kMixedFiles);
  std::vector<std::pair<std::string, std::function<std::size_t()>>> chunkings;
  chunkings.emplace_back("one byte at a time", [] { return std::size_t{1}; });
  chunkings.emplace_back("all at once", [] { return std::size_t{1} << 30; });
  for (unsigned seed = 1; seed <= 40; ++seed) {
    auto rng = std::make_shared<std::mt19937>(seed);
    const std::size_t most = seed % 3 == 0 ? 30 : seed % 3 == 1 ? 5000 : 70000;
    chunkings.emplace_back("random chunks, seed " + std::to_string(seed), [rng, most] {
      return std::uniform_int_distribution<std::size_t>(1, most)(*rng);
    });
  }
  for (const auto& [name, chunk] : chunkings) {
    SCOPED_TRACE(name);
    const Output out = split(chain.bytes, chunk);
    ASSERT_EQ(out.concatenated, chain.bytes);
    EXPECT_EQ(out.newLinkAt, laterLinks(chain));
    EXPECT_EQ(out.titles, kMixedTitles);
    EXPECT_LE(out.maxPending, kMaxPageBytes);
  }
}

TEST(ChainSplitter, ATitleComesWithItsLinksCommentPageAndOnlyOnce) {
  const Chain chain = chainOf({"vorbis.ogg", "opus.ogg"});
  ChainSplitter s;
  s.push(chain.bytes);
  std::size_t index = 0;
  std::vector<std::size_t> linkFirstPage;
  std::vector<std::size_t> titleAfter;
  while (auto page = s.nextPage()) {
    if (index == 0 || page->newLink) linkFirstPage.push_back(index);
    if (s.takeTitle()) titleAfter.push_back(index);
    EXPECT_FALSE(s.takeTitle()) << "a title is given once";
    ++index;
  }
  // Vorbis and Opus (as muxed here) put the identification header alone on the BOS page and the
  // comments on the next page.
  ASSERT_EQ(linkFirstPage.size(), 2u);
  EXPECT_EQ(titleAfter, (std::vector<std::size_t>{linkFirstPage[0] + 1, linkFirstPage[1] + 1}));
  EXPECT_EQ(s.pendingBytes(), 0u);
  EXPECT_EQ(s.skippedBytes(), 0u);
}

TEST(ChainSplitter, NamesTheSongWithWhateverNamesALinkHas) {
  const Chain chain =
      chainOf({"title-only.ogg", "no-names.ogg", "artist-only.ogg", "flac.ogg", "no-names.ogg"});
  const Output out = split(chain.bytes, [] { return std::size_t{4096}; });
  EXPECT_EQ(out.newLinkAt, laterLinks(chain));
  // A later link without names clears the title rather than leaving the last song's on show.
  EXPECT_EQ(out.titles, (std::vector<std::string>{"Only A Title", "", "Only An Artist",
                                                  "Flac Artist - Flac Song", ""}));
  // A stream that starts without names has nothing to clear.
  const Chain unnamedFirst = chainOf({"no-names.ogg", "vorbis.ogg"});
  EXPECT_EQ(split(unnamedFirst.bytes, [] { return std::size_t{4096}; }).titles,
            (std::vector<std::string>{"Vorbis Artist - Vorbis Song"}));
}

TEST(ChainSplitter, AnUntakenTitleIsReplacedByTheNextLinksOrByItsLackOfNames) {
  const Chain chain = chainOf({"vorbis.ogg", "opus.ogg", "no-names.ogg"});
  ChainSplitter s;
  s.push(chain.bytes);
  std::size_t links = 0;
  while (auto page = s.nextPage()) {
    links += page->newLink;
    if (links == 1 && page->newLink) {
      // The first link's comments are done, the second's not yet: the first is still news.
      EXPECT_EQ(textOf(s.takeTitle()), "Vorbis Artist - Vorbis Song");
    }
  }
  EXPECT_EQ(links, 2u);
  EXPECT_EQ(textOf(s.takeTitle()), "")
      << "the newest link has no names; the second's title is stale";
}

TEST(ChainSplitter, FindsTheNamesBeforeAHugeCoverPictureWithoutKeepingIt) {
  const Chain chain =
      chainOf({"picture-vorbis.ogg", "picture-opus.ogg", "picture-hides.ogg", "flac.ogg"});
  ASSERT_GT(chain.linkStarts[1], kMaxPacketBytes) << "the picture must not fit under the cap";
  for (const std::size_t chunk : {std::size_t{1}, std::size_t{777}, std::size_t{1} << 20}) {
    SCOPED_TRACE(chunk);
    const Output out = split(chain.bytes, [chunk] { return chunk; });
    ASSERT_EQ(out.concatenated, chain.bytes);
    EXPECT_EQ(out.newLinkAt, laterLinks(chain));
    // Names behind more than the cap of picture are not found (that link clears the title);
    // the next link is read as usual.
    EXPECT_EQ(out.titles, (std::vector<std::string>{"Picture Artist - Cover First",
                                                    "Picture Artist - Cover First", "",
                                                    "Flac Artist - Flac Song"}));
  }
}

TEST(ChainSplitter, ALinkOfTwoStreamsStartsOnceAndIsNamedByItsFirstStream) {
  // Both BOS pages come first in the file; only the first of them may start a link.
  const Bytes file = media("two-streams.ogg");
  const auto pages = pagesOf(file);
  ASSERT_GE(pages.size(), 2u);
  ASSERT_EQ(std::to_integer<int>(file[pages[1].first + 5]) & 2, 2)
      << "the second page is not a BOS page";

  const Chain chain = chainOf({"two-streams.ogg", "vorbis.ogg", "two-streams.ogg"});
  ChainSplitter s;
  s.push(chain.bytes);
  Output out;
  drain(s, out);
  EXPECT_EQ(out.concatenated, chain.bytes);
  EXPECT_EQ(out.newLinkAt, laterLinks(chain));
  EXPECT_EQ(out.titles, (std::vector<std::string>{"Two - Streams", "Vorbis Artist - Vorbis Song",
                                                  "Two - Streams"}));
}

// Bytes that look like the start of a page but are not one.
Bytes fakePageStart(std::mt19937& rng) {
  Bytes b = bytesOf(std::string("OggS\0\x02", 6));
  for (int i = 0; i < 20; ++i) b.push_back(static_cast<std::byte>(rng()));
  b.push_back(std::byte{0xff});  // 255 lacing values: a plausible header that claims a long page
  for (int i = 0; i < 300; ++i) b.push_back(static_cast<std::byte>(rng() % 2 ? 0xff : rng()));
  return b;
}

TEST(ChainSplitter, SkipsGarbageBeforeAndBetweenLinksAndPagesCutShort) {
  const std::vector<std::string> files = kMixedFiles;
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    Bytes input;
    Bytes expected;
    std::vector<std::size_t> expectedLinks;
    std::size_t garbage = 0;
    const auto addGarbage = [&](Bytes g) {
      input.insert(input.end(), g.begin(), g.end());
      garbage += g.size();
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
      const Bytes file = media(files[i]);
      switch ((seed + i) % 4) {
        case 0: {  // random bytes, as after a connection that joined mid-page
          Bytes g(std::uniform_int_distribution<std::size_t>(1, 5000)(rng));
          for (auto& b : g) b = static_cast<std::byte>(rng());
          addGarbage(g);
          break;
        }
        case 1:  // a header that parses but whose checksum fails
          addGarbage(fakePageStart(rng));
          break;
        case 2: {  // the first half of the file's longest page: sync lost in the middle of it
          auto pages = pagesOf(file);
          const auto longest = *std::max_element(
              pages.begin(), pages.end(), [](auto a, auto b) { return a.second < b.second; });
          const auto from = file.begin() + static_cast<std::ptrdiff_t>(longest.first);
          addGarbage(Bytes(from, from + static_cast<std::ptrdiff_t>(longest.second / 2)));
          break;
        }
        default: break;
      }
      if (i > 0) expectedLinks.push_back(expected.size());
      input.insert(input.end(), file.begin(), file.end());
      expected.insert(expected.end(), file.begin(), file.end());
    }
    std::uniform_int_distribution<std::size_t> size(1, seed % 2 ? 64 : 9000);
    ChainSplitter s;
    Output out;
    for (std::span<const std::byte> rest = input; !rest.empty();) {
      const std::size_t n = std::min(rest.size(), size(rng));
      s.push(rest.first(n));
      rest = rest.subspan(n);
      drain(s, out);
    }
    ASSERT_EQ(out.concatenated, expected);
    EXPECT_EQ(out.newLinkAt, expectedLinks);
    EXPECT_EQ(out.titles, kMixedTitles);
    EXPECT_EQ(s.skippedBytes(), garbage);
  }
}

TEST(ChainSplitter, AFalsePageStartHoldsBackNoPageOnceThatPageIsWhole) {
  std::mt19937 rng(3);
  const Bytes file = media("opus.ogg");
  ChainSplitter s;
  s.push(fakePageStart(rng));  // claims a page of some 40 KiB, more than the whole file
  EXPECT_FALSE(s.nextPage());
  std::size_t got = 0;
  for (const auto& [at, size] : pagesOf(file)) {
    const auto page = std::span<const std::byte>(file).subspan(at, size);
    s.push(page.first(size - 1));
    EXPECT_FALSE(s.nextPage()) << "page at " << at << " is not whole yet";
    s.push(page.last(1));
    const auto out = s.nextPage();
    ASSERT_TRUE(out) << "page at " << at << " is whole";
    EXPECT_TRUE(std::equal(out->bytes.begin(), out->bytes.end(), page.begin(), page.end()));
    got += size;
  }
  EXPECT_EQ(got, file.size());
  EXPECT_EQ(textOf(s.takeTitle()), "Opus Artist - Opus Song");
}

TEST(ChainSplitter, AStreamJoinedMidLinkStartsItsFirstLinkAtTheNextBosPage) {
  const Chain chain = chainOf({"vorbis.ogg", "opus.ogg"});
  // From the third page of the first file on: no BOS page until the second link.
  const std::size_t offset = pagesOf(media("vorbis.ogg")).at(2).first;
  const std::span<const std::byte> joined = std::span<const std::byte>(chain.bytes).subspan(offset);
  const Output out = split(joined, [] { return std::size_t{512}; });
  ASSERT_EQ(out.concatenated, Bytes(joined.begin(), joined.end()));
  EXPECT_EQ(out.newLinkAt, (std::vector<std::size_t>{chain.linkStarts[1] - offset}));
  EXPECT_EQ(out.titles, (std::vector<std::string>{"Opus Artist - Opus Song"}));
}

TEST(ChainSplitter, KeepsLittleOfAnInputThatHoldsNoPage) {
  std::mt19937 rng(7);
  ChainSplitter s;
  Bytes chunk(64 * 1024);
  for (int round = 0; round < 64; ++round) {  // 4 MiB of noise and false page starts
    for (auto& b : chunk) b = static_cast<std::byte>(rng());
    const Bytes fake = fakePageStart(rng);
    std::copy(fake.begin(), fake.end(), chunk.begin() + 1000);
    s.push(chunk);
    EXPECT_FALSE(s.nextPage());
    EXPECT_LE(s.pendingBytes(), kMaxPageBytes);
  }
  // A real chain after all that noise is still found whole.
  const Chain chain = chainOf({"flac.ogg", "opus.ogg"});
  s.push(chain.bytes);
  Output out;
  drain(s, out);
  EXPECT_EQ(out.concatenated, chain.bytes);
  EXPECT_EQ(out.titles.size(), 2u);
  EXPECT_EQ(out.newLinkAt, (std::vector<std::size_t>{chain.linkStarts[1]})) << "noise is no link";
}

TEST(PageChecksum, MatchesTheChecksumOfEveryPageFfmpegWrote) {
  const Bytes file = media("flac.ogg");
  const auto pages = pagesOf(file);
  std::size_t end = 0;
  for (const auto& [at, size] : pages) {
    const auto page = std::span<const std::byte>(file).subspan(at, size);
    const std::uint32_t stored = std::to_integer<std::uint32_t>(page[22]) |
                                 std::to_integer<std::uint32_t>(page[23]) << 8 |
                                 std::to_integer<std::uint32_t>(page[24]) << 16 |
                                 std::to_integer<std::uint32_t>(page[25]) << 24;
    ASSERT_EQ(pageChecksum(page), stored) << "page at " << at;
    end = at + size;
  }
  EXPECT_EQ(end, file.size());
  EXPECT_GT(pages.size(), 3u);
}

// Little-endian length, then the bytes.
std::string field(std::string_view s) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((s.size() >> (8 * i)) & 0xff);
  return out += s;
}
std::string commentBlock(const std::vector<std::string>& entries, std::size_t claimedCount = 0) {
  std::string out = field("vendor");
  const std::size_t n = claimedCount != 0 ? claimedCount : entries.size();
  for (int i = 0; i < 4; ++i) out += static_cast<char>((n >> (8 * i)) & 0xff);
  for (const auto& e : entries) out += field(e);
  return out;
}
SongComments read(const std::string& block) { return readVorbisComments(bytesOf(block)); }

TEST(VorbisComments, ReadsTheFirstNonEmptyArtistAndTitleInAnyCase) {
  const auto c = read(commentBlock(
      {"ENCODER=x", "Title=", "tItLe=First", "ARTIST=Band", "TITLE=Second", "artist=Other"}));
  EXPECT_EQ(c.artist, "Band");
  EXPECT_EQ(c.title, "First");
  const auto none = read(commentBlock({"ARTISTS=no", "TITLEX=no", "=TITLE", "ALBUM=title=no"}));
  EXPECT_EQ(none.artist, std::nullopt);
  EXPECT_EQ(none.title, std::nullopt);
}

TEST(VorbisComments, ABlockCutShortOrLyingAboutItsSizeGivesWhatCameBefore) {
  const std::string whole = commentBlock({"ARTIST=Band", "TITLE=Song"});
  // Cut inside the TITLE entry: the artist survives, the half title does not count.
  const auto cut = read(whole.substr(0, whole.size() - 3));
  EXPECT_EQ(cut.artist, "Band");
  EXPECT_EQ(cut.title, std::nullopt);
  // A count far beyond the entries present.
  const auto lying = read(commentBlock({"TITLE=Song"}, 0xffffffffu));
  EXPECT_EQ(lying.title, "Song");
  // An entry length beyond the end.
  std::string huge =
      field("vendor") + std::string("\x01\0\0\0", 4) + std::string("\xff\xff\xff\x7fTITLE=x", 11);
  EXPECT_EQ(read(huge).title, std::nullopt);
  EXPECT_EQ(read("").title, std::nullopt);
  EXPECT_EQ(read(std::string("\xff\xff\xff\xff", 4)).title, std::nullopt);
}

TEST(VorbisComments, ValuesAreMadeShowableAndCutOnACharacterBoundary) {
  const auto c = read(commentBlock({std::string("TITLE=a\nb\0c\td", 13)}));
  EXPECT_EQ(c.title, "a b c d");
  // "é" is two bytes; 1023 ASCII bytes and then "é" would be cut inside it.
  const std::string longTitle = std::string(kMaxValueBytes - 1, 'x') + "\xc3\xa9" + "tail";
  const auto cutLong = read(commentBlock({"TITLE=" + longTitle}));
  EXPECT_EQ(cutLong.title, std::string(kMaxValueBytes - 1, 'x'));
  const std::string exact(kMaxValueBytes, 'y');
  EXPECT_EQ(read(commentBlock({"ARTIST=" + exact + "z"})).artist, exact);
}

TEST(SongTitleOf, ArtistAndTitleApartAndJoinedInTheText) {
  const struct {
    SongComments comments;
    std::optional<SongTitle> song;
  } cases[] = {
      {{"Band", "Song"}, SongTitle{"Band", "Song", "Band - Song"}},
      {{"Band", std::nullopt}, SongTitle{"Band", "", "Band"}},
      {{std::nullopt, "Rock;Roll"}, SongTitle{"", "Rock;Roll", "Rock;Roll"}},
      {{std::nullopt, std::nullopt}, std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(songTitleOf(c.comments), c.song);
}

}  // namespace
}  // namespace radiolist::ogg
