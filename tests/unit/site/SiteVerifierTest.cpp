// The check of a signed site: which fetched indexes are taken (signature, expiry, versions accepted
// before, keys handed over), what stands in when none can be fetched, and which download addresses
// and movies pass. Indexes are signed here with RFC 8032's keys; the state lives in a temporary
// folder, read again by a new verifier as the next start would.
#include "site/SiteVerifier.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "support/TestLog.h"
#include "support/TestSiteKeys.h"
#include "support/TestSupport.h"

namespace {

using namespace testing_support;
using Answer = SiteVerifier::IndexAnswer;
using Standing = SiteVerifier::Standing;

const std::string& g_log = UseTestLog();

constexpr int64_t kNow = 1767225600;  // 2026-01-01T00:00:00Z
constexpr int64_t kDay = 86400;
const std::string kSiteUrl = "http://Example.org/game";

SiteIndex IndexOf(int64_t version, int64_t expires = kNow + 30 * kDay) {
  SiteIndex index;
  index.version = version;
  index.expires = expires;
  index.files["files/a.qlz"] = {5, Sha256Of(Bytes("aaaaa")), {}};
  index.files["files/b c.qlz"] = {1, Sha256Of(Bytes("b")), {}};
  index.files["files/é.qlz"] = {1, Sha256Of(Bytes("e")), {}};
  index.files["DemoMovie.swf"] = {5, Sha256Of(Bytes("movie")), {"server=http%3A%2F%2F127.0.0.1%3A8080"}};
  index.urls["https://cdn.example.org/intro.flv"] = {5, Sha256Of(Bytes("intro")), {}};
  return index;
}

std::string Signed(const SiteIndex& index, const TestKey& signer = kOldKey) {
  return SignedIndex(FormatSiteIndexPayload(index), signer);
}

class SiteVerifierTest : public ::testing::Test {
 public:
  // A verifier as a start of the launcher makes it: configured with `key`, and the state of the
  // starts before.
  std::unique_ptr<SiteVerifier> Start(const TestKey& key = kOldKey, const std::string& siteUrl = kSiteUrl) {
    return std::make_unique<SiteVerifier>(siteUrl, " " + FormatSitePublicKey(key.publicKey) + "\n", m_state->path());
  }
  void ForgetEarlierStarts() { m_state = std::make_unique<TempDir>(); }
  // A start that accepts `text`.
  void Accept(const std::string& text) {
    auto site = Start();
    ASSERT_EQ(site->TakeFetchedIndex(text, kNow, false), Answer::kAccepted) << site->refusal();
  }

  std::unique_ptr<TempDir> m_state = std::make_unique<TempDir>();
};

TEST_F(SiteVerifierTest, AFetchedIndexIsTakenOnlyWhenGenuineCurrentAndNotOlderThanBefore) {
  struct Case {
    const char* name;
    std::string text;
    Answer first;   // to the first request
    Answer second;  // to the one asked past caches, when the first asks for it
    const char* refusal;
  };
  std::string changed = Signed(IndexOf(kNow + 10));
  changed.replace(changed.find("files/a.qlz"), 11, "files/x.qlz");
  const Case cases[] = {
      {"the same index again", Signed(IndexOf(kNow)), Answer::kAccepted, Answer::kAccepted, ""},
      {"a newer index", Signed(IndexOf(kNow + 10)), Answer::kAccepted, Answer::kAccepted, ""},
      {"an older index, replayed", Signed(IndexOf(kNow - 10)), Answer::kAskAgain, Answer::kRefused, "older than one accepted before"},
      {"an expired index", Signed(IndexOf(kNow + 10, kNow - 1)), Answer::kAskAgain, Answer::kRefused,
       "expired on 2025-12-31T23:59:59Z, and this computer's clock reads 2026-01-01T00:00:00Z"},
      {"an index of another key", Signed(IndexOf(kNow + 10), kStrangerKey), Answer::kAskAgain, Answer::kRefused,
       "not trusted"},
      {"an index changed after signing", changed, Answer::kRefused, Answer::kRefused, "does not match its signature"},
      {"a page that is no index", "<html>Welcome to the hotel's network</html>", Answer::kRefused, Answer::kRefused,
       "not a signed index"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetEarlierStarts();
    Accept(Signed(IndexOf(kNow)));
    auto site = Start();
    const Answer first = site->TakeFetchedIndex(c.text, kNow, false);
    EXPECT_EQ(first, c.first);
    const Answer last = first == Answer::kAskAgain ? site->TakeFetchedIndex(c.text, kNow, true) : first;
    EXPECT_EQ(last, c.second);
    EXPECT_EQ(site->standing(), last == Answer::kAccepted ? Standing::kVerified : Standing::kRefused);
    EXPECT_NE(site->refusal().find(c.refusal), std::string::npos) << site->refusal();
    // A refused index changes nothing that the next start knows.
    if (last == Answer::kRefused) {
      EXPECT_EQ(Start()->TakeFetchedIndex(Signed(IndexOf(kNow)), kNow, false), Answer::kAccepted);
    }
  }
}

TEST_F(SiteVerifierTest, AnOldIndexIsRefusedInEveryLaterStart) {
  Accept(Signed(IndexOf(kNow + 100)));
  auto site = Start();
  EXPECT_EQ(site->TakeFetchedIndex(Signed(IndexOf(kNow + 99)), kNow, true), Answer::kRefused);
  // Even once the newer one has expired and the clock is set back to the older one's time.
  auto backdated = Start();
  EXPECT_EQ(backdated->TakeFetchedIndex(Signed(IndexOf(kNow)), kNow - kDay, true), Answer::kRefused);
}

TEST_F(SiteVerifierTest, ASiteMovesToTheKeyItsIndexHandsOverTo) {
  SiteIndex handover = IndexOf(kNow);
  handover.nextKey = kNewKey.publicKey;
  // Before the hand-over, the new key is not trusted.
  EXPECT_EQ(Start()->TakeFetchedIndex(Signed(IndexOf(kNow), kNewKey), kNow, true), Answer::kRefused);
  Accept(Signed(handover));
  // Both keys now: the site may still sign with the old one (naming the new one or not), or
  // already with the new one.
  EXPECT_EQ(Start()->TakeFetchedIndex(Signed(IndexOf(kNow + 1)), kNow, false), Answer::kAccepted);
  EXPECT_EQ(Start()->TakeFetchedIndex(Signed(IndexOf(kNow + 2), kNewKey), kNow, false), Answer::kAccepted);
  // Once the new key has signed, the old one is trusted no more.
  auto site = Start();
  EXPECT_EQ(site->TakeFetchedIndex(Signed(IndexOf(kNow + 3)), kNow, false), Answer::kAskAgain);
  EXPECT_EQ(site->TakeFetchedIndex(Signed(IndexOf(kNow + 3)), kNow, true), Answer::kRefused);
  EXPECT_EQ(Start()->TakeFetchedIndex(Signed(IndexOf(kNow + 3), kNewKey), kNow, false), Answer::kAccepted);
  // The state belongs to the configured key: another configured key starts afresh.
  EXPECT_EQ(Start(kStrangerKey)->TakeFetchedIndex(Signed(IndexOf(kNow), kStrangerKey), kNow, false), Answer::kAccepted);
}

TEST_F(SiteVerifierTest, AnIndexThatCannotBeFetchedIsStoodInForByTheOneKept) {
  struct Case {
    const char* name;
    std::function<void(SiteVerifierTest&)> before;  // the starts before
    int64_t now;
    Standing standing;
    bool downloads;       // files of the site may be fetched
    bool fetchedMovie;    // a movie fetched now may play
    bool keptMovie;       // the kept copy of the movie may play
  };
  const Case cases[] = {
      {"no index kept", [](SiteVerifierTest&) {}, kNow, Standing::kRefused, false, false, false},
      {"a current index kept", [](SiteVerifierTest& t) { t.Accept(Signed(IndexOf(kNow))); }, kNow + kDay,
       Standing::kKept, true, true, true},
      {"an expired index kept", [](SiteVerifierTest& t) { t.Accept(Signed(IndexOf(kNow))); }, kNow + 31 * kDay,
       Standing::kKeptExpired, false, false, true},
      {"a damaged state", [](SiteVerifierTest& t) {
         t.Accept(Signed(IndexOf(kNow)));
         for (const auto& entry : std::filesystem::directory_iterator(t.m_state->path())) WriteFile(entry.path(), "{\"format\": 1");
       }, kNow, Standing::kRefused, false, false, false},
  };
  const std::string movieUrl = "http://example.org/game/DemoMovie.swf?server=http%3A%2F%2F127.0.0.1%3A8080";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetEarlierStarts();
    c.before(*this);
    auto site = Start();
    site->TakeUnfetchedIndex("connection refused", c.now);
    EXPECT_EQ(site->standing(), c.standing);
    EXPECT_EQ(site->CheckDownload("http://example.org/game/files/a.qlz").entry != nullptr, c.downloads);
    std::string refusal;
    EXPECT_EQ(site->CheckMovie(movieUrl, "movie", SiteVerifier::MovieOrigin::kFetched, &refusal), c.fetchedMovie) << refusal;
    EXPECT_EQ(site->CheckMovie(movieUrl, "movie", SiteVerifier::MovieOrigin::kKeptCopy, &refusal), c.keptMovie) << refusal;
    if (c.standing == Standing::kRefused) {
      EXPECT_NE(site->refusal().find("connection refused"), std::string::npos);
    }
  }
}

TEST_F(SiteVerifierTest, ADownloadMustBeAFileOfTheIndexAsARequestWouldReachIt) {
  auto site = Start();
  ASSERT_EQ(site->TakeFetchedIndex(Signed(IndexOf(kNow)), kNow, false), Answer::kAccepted);
  struct Case {
    const char* url;
    const char* file;  // the listed file it names; null when refused
  };
  const Case cases[] = {
      {"http://example.org/game/files/a.qlz", "files/a.qlz"},
      {"HTTP://EXAMPLE.ORG:80/game/files/a.qlz", "files/a.qlz"},
      {"http://example.org/game/files/%61.qlz", "files/a.qlz"},
      {"http://example.org/game/files/./x/../a.qlz", "files/a.qlz"},
      {"http://example.org/game/files/b%20c.qlz", "files/b c.qlz"},
      {"http://example.org/game%2Ffiles/a.qlz", "files/a.qlz"},  // as a server maps it to a file
      {"http://example.org/game/files/%C3%A9.qlz", "files/é.qlz"},
      {"http://example.org/game/DemoMovie.swf?server=http%3A%2F%2F127.0.0.1%3A8080", "DemoMovie.swf"},
      {"https://cdn.example.org:443/intro.flv", "https://cdn.example.org/intro.flv"},
      // Not the site's, though a string's prefix would say so.
      {"http://example.org/game-evil/files/a.qlz", nullptr},
      {"http://example.org/game/../game-evil/files/a.qlz", nullptr},
      {"http://example.org/game/files/%2e%2e/files/a.qlz", nullptr},
      {"http://example.org@evil.example/game/files/a.qlz", nullptr},
      {"http://user@example.org/game/files/a.qlz", nullptr},
      {"http://example.org:8080/game/files/a.qlz", nullptr},
      {"https://example.org/game/files/a.qlz", nullptr},
      {"ftp://example.org/game/files/a.qlz", nullptr},
      {"http://example.org/game/files/a.qlz%00", nullptr},
      // The site's, but not as listed.
      {"http://example.org/game/files/A.qlz", nullptr},
      {"http://example.org/game/files/b+c.qlz", nullptr},
      {"http://example.org/game/files/a.qlz?v=2", nullptr},
      {"http://example.org/game/DemoMovie.swf", nullptr},
      {"http://example.org/game/DemoMovie.swf?server=http%3A%2F%2Fevil.example", nullptr},
      {"http://example.org/game/index.json", nullptr},
      {"https://cdn.example.org/intro.flv?v=2", nullptr},
      {"https://cdn.example.org/intro.flv/../other.flv", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    const SiteVerifier::FileCheck check = site->CheckDownload(c.url);
    if (c.file == nullptr) {
      EXPECT_EQ(check.entry, nullptr);
      EXPECT_FALSE(check.refusal.empty());
      continue;
    }
    const SiteIndex index = IndexOf(kNow);
    const SiteIndexEntry* listed = index.FindFile(c.file) ? index.FindFile(c.file) : index.FindUrl(c.file);
    ASSERT_NE(check.entry, nullptr) << check.refusal;
    EXPECT_EQ(*check.entry, *listed);
  }
}

TEST_F(SiteVerifierTest, AMovieMustHaveTheListedSizeAndDigest) {
  auto site = Start();
  ASSERT_EQ(site->TakeFetchedIndex(Signed(IndexOf(kNow)), kNow, false), Answer::kAccepted);
  const std::string url = "http://example.org/game/DemoMovie.swf?server=http%3A%2F%2F127.0.0.1%3A8080";
  const std::pair<std::string, const char*> movies[] = {
      {"movie", nullptr}, {"movid", "SHA-256"}, {"movie!", "size"}, {"", "size"}};
  for (const auto& [bytes, refusal] : movies) {
    SCOPED_TRACE(bytes);
    std::string why;
    EXPECT_EQ(site->CheckMovie(url, bytes, SiteVerifier::MovieOrigin::kFetched, &why), refusal == nullptr);
    if (refusal != nullptr) {
      EXPECT_NE(why.find(refusal), std::string::npos) << why;
    }
  }
}

TEST_F(SiteVerifierTest, AConfigurationThatCannotBeCheckedIsRefusedFromTheStart) {
  const std::pair<std::string, std::string> configurations[] = {
      {kSiteUrl, "not base64"},
      {kSiteUrl, EncodeBase64(std::vector<uint8_t>(31, 7))},
      {"", FormatSitePublicKey(kOldKey.publicKey)},
      {"example.org/game", FormatSitePublicKey(kOldKey.publicKey)},
      {"ftp://example.org/game", FormatSitePublicKey(kOldKey.publicKey)},
      {"http://example.org/game?v=1", FormatSitePublicKey(kOldKey.publicKey)},
  };
  for (const auto& [url, key] : configurations) {
    SCOPED_TRACE(url + " " + key);
    SiteVerifier site(url, key, m_state->path());
    EXPECT_EQ(site.standing(), Standing::kRefused);
    EXPECT_NE(site.refusal().find("configuration"), std::string::npos);
    site.Restart();
    EXPECT_EQ(site.standing(), Standing::kRefused);
    EXPECT_EQ(site.CheckDownload("http://example.org/game/files/a.qlz").entry, nullptr);
  }
  EXPECT_EQ(Start(kOldKey, "http://example.org/game/")->IndexUrl(), "http://example.org/game/index.json");
  EXPECT_EQ(Start(kOldKey, "http://example.org/game")->IndexUrl(), "http://example.org/game/index.json");
}

TEST(SiteState, ReadsBackWhatItWritesAndNothingElse) {
  SiteState state{kNow, kNow + 5, {kOldKey.publicKey, kNewKey.publicKey}, "{\"payload\": \"\\u00e9\"}\n"};
  EXPECT_EQ(ParseSiteState(FormatSiteState(state)), state);
  for (const char* damaged : {"", "{", "[]", R"({"format": 2, "version": 1, "accepted": 1, "keys": ["x"], "index": ""})",
                              R"({"format": 1, "version": 1, "accepted": 1, "keys": [], "index": ""})",
                              R"({"format": 1, "version": -1, "accepted": 1, "keys": [], "index": ""})"}) {
    SCOPED_TRACE(damaged);
    EXPECT_FALSE(ParseSiteState(damaged));
  }
  TempDir folder;
  const std::string path = SiteStatePath(folder / "new/folder", "ab");
  SiteState read;
  EXPECT_EQ(LoadSiteState(path, &read), SiteStateRead::kNone);
  ASSERT_TRUE(SaveSiteState(path, state));
  EXPECT_EQ(LoadSiteState(path, &read), SiteStateRead::kRead);
  EXPECT_EQ(read, state);
}

}  // namespace
