// Storing trust rules and user lists, and matching events against them.
#include <functional>
#include <string>

#include "BRIXDataAccessLayer.h"
#include "IssuerMeta.h"
#include "test_util.h"

namespace {

class TrustRulesTest : public PrivateDalTest {
 protected:
  void SetUp() override {
    PrivateDalTest::SetUp();
    Open();
  }

  // Stores the rules, then opens the file again so the lookups see them.
  void Load(std::initializer_list<ac_trust_rule> rules) {
    for (ac_trust_rule r : rules) ASSERT_NE(dal.StoreTrustRule(r), 0u);
    dal.ShutdownDAL();
    ASSERT_TRUE(dal.InitDB(false));
    LogCapture::Clear();
  }

  static ac_trust_rule Rule(int kind, const std::string& process = "",
                            const std::string& paths = "") {
    ac_trust_rule r;
    r.trustType = kind;
    r.processName = process;
    r.paths = paths;
    r.ruleset = "rs-" + std::to_string(kind);
    return r;
  }

  static ac_event Event(const std::string& process, const std::string& name) {
    ac_event e;
    e.processName = process;
    e.name = name;
    e.user = "alice";
    e.group = "users";
    return e;
  }

  using Texts = std::vector<std::string>;
  Texts Hitcounts() {
    return Db(PathIn("ac.db")).Rows("SELECT hitcount FROM TrustRules ORDER BY trustRuleId");
  }
  // Asks about a copy of `e`, for cases where its marks do not matter.
  bool Found(DALTrustType kind, ac_event e) { return dal.IsFoundInTrustRules(kind, e); }
};

TEST_F(TrustRulesTest, StoredRuleLeavesEmptyFieldsNull) {
  ac_trust_rule r = Rule(DAL_TRUST_TARGET, "/usr/bin/*", "/opt/;/srv/");
  r.signerName = "Vendor";
  r.issuer[ISSUER_O] = "Vendor CA";
  const std::string digest(32, '\x11');
  r.sha256.SetHash(digest.data());
  r.userList = "admins";
  const uint64_t id = dal.StoreTrustRule(r);
  ASSERT_EQ(id, 1u);
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.One("SELECT processName, paths, trustType, signerName, productName, companyName, "
                   "hex(sha256), issuerCN, issuerO, hitcount, ruleset, procUser, procGroup, "
                   "userList FROM TrustRules"),
            "/usr/bin/*|/opt/;/srv/|2|Vendor|NULL|NULL|" + std::string(64, '1') +
                "|NULL|Vendor CA|0|rs-2|NULL|NULL|admins");
}

TEST_F(TrustRulesTest, TargetRuleAppliesAndMarksTheEvent) {
  ac_trust_rule r = Rule(DAL_TRUST_TARGET, "", "/opt/app/");
  r.signerName = "Vendor";
  Load({r});
  ac_event e = Event("/usr/bin/bash", "/opt/app/bin/tool");
  e.fileSignerName = "Vendor";
  ASSERT_TRUE(dal.IsFoundInTrustRules(DAL_TRUST_TARGET, e));
  EXPECT_EQ(e.driftTrust, 4u);
  EXPECT_EQ(e.ruleset, "rs-2");
  EXPECT_EQ(Hitcounts(), Texts{"1"});

  // The same file without the signer, or another path, is not trusted.
  ac_event unsigned_ = Event("/usr/bin/bash", "/opt/app/bin/tool");
  EXPECT_FALSE(dal.IsFoundInTrustRules(DAL_TRUST_TARGET, unsigned_));
  EXPECT_EQ(unsigned_.driftTrust, 0u);
  ac_event elsewhere = Event("/usr/bin/bash", "/srv/tool");
  elsewhere.fileSignerName = "Vendor";
  EXPECT_FALSE(Found(DAL_TRUST_TARGET, elsewhere));
  // Kind 4 and kind 1 questions do not see a kind 2 rule.
  elsewhere.name = e.name;
  EXPECT_FALSE(Found(DAL_TRUST_BLOCK, elsewhere));
  // An unknown kind of question is refused.
  EXPECT_FALSE(Found(static_cast<DALTrustType>(9), elsewhere));
  EXPECT_EQ(Hitcounts(), Texts{"1"});
}

TEST_F(TrustRulesTest, SourceRuleComparesTheActingProcess) {
  ac_trust_rule r = Rule(DAL_TRUST_SOURCE);
  r.companyName = "Distro";
  r.issuer[ISSUER_CN] = "Distro Root";
  Load({r});
  ac_event e = Event("/usr/bin/apt", "/usr/bin/new");
  e.processCompanyName = "Distro";
  e.processIssuer[ISSUER_CN] = "Distro Root";
  e.fileCompanyName = "Other";
  EXPECT_TRUE(Found(DAL_TRUST_SOURCE, e));
  // The target's data does not count for a source question.
  ac_event fileOnly = Event("/usr/bin/apt", "/usr/bin/new");
  fileOnly.fileCompanyName = "Distro";
  fileOnly.fileIssuer[ISSUER_CN] = "Distro Root";
  EXPECT_FALSE(Found(DAL_TRUST_SOURCE, fileOnly));
}

TEST_F(TrustRulesTest, ProcessNamesMatchExactlyOrByPattern) {
  Load({Rule(DAL_TRUST_EXCLUDE, "/usr/bin/yum"), Rule(DAL_TRUST_EXCLUDE, "/opt/*/agent"),
        Rule(DAL_TRUST_TARGET, "/usr/bin/make")});
  EXPECT_TRUE(Found(DAL_TRUST_EXCLUDE, Event("/usr/bin/yum", "/var/cache/x")));
  // A plain name that is only a prefix is excluded by the query.
  EXPECT_FALSE(Found(DAL_TRUST_EXCLUDE, Event("/usr/bin/yumdownloader", "/var/cache/x")));
  EXPECT_TRUE(Found(DAL_TRUST_EXCLUDE, Event("/opt/vendor/agent", "/x")));
  EXPECT_FALSE(Found(DAL_TRUST_EXCLUDE, Event("/opt/a/b/agent", "/x")));
  // A rule without paths covers every path.
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, Event("/usr/bin/make", "/home/u/build/a.out")));
}

TEST_F(TrustRulesTest, ExclusionNeverMatchesRulesThatNeedMore) {
  ac_trust_rule signer = Rule(DAL_TRUST_ANY, "/usr/bin/tool");
  signer.signerName = "S";
  ac_trust_rule user = Rule(DAL_TRUST_ANY, "/usr/bin/tool");
  user.procUser = "alice";
  ac_trust_rule group = Rule(DAL_TRUST_ANY, "/usr/bin/tool");
  group.procGroup = "users";
  ac_trust_rule digest = Rule(DAL_TRUST_ANY, "/usr/bin/tool");
  digest.sha256.SetHash(std::string(32, '\x01').data());
  ac_trust_rule issuer = Rule(DAL_TRUST_ANY, "/usr/bin/tool");
  issuer.issuer[ISSUER_OU] = "Unit";
  Load({signer, user, group, digest, issuer});
  ac_event e = Event("/usr/bin/tool", "/x");
  e.processSignerName = "S";
  e.fileSignerName = "S";
  e.processIssuer[ISSUER_OU] = e.fileIssuer[ISSUER_OU] = "Unit";
  EXPECT_FALSE(Found(DAL_TRUST_EXCLUDE, e));
  // The same event asked as a target question matches the user rule.
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, e));
}

TEST_F(TrustRulesTest, UserListsProcUserAndGroups) {
  ac_trust_rule listed = Rule(DAL_TRUST_TARGET, "", "/opt/");
  listed.userList = "admins";
  ac_trust_rule named = Rule(DAL_TRUST_BLOCK, "", "/opt/");
  named.userList = "nobody-list";
  named.procUser = "carol";
  ac_trust_rule group = Rule(DAL_TRUST_TARGET, "", "/srv/");
  group.procGroup = "wheel";
  Load({listed, named, group});
  for (const char* user : {"alice", "bob"}) {
    ac_user_list row{"admins", user};
    ASSERT_NE(dal.StoreUserList(row), 0u);
  }
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, Event("/bin/sh", "/opt/x")));
  ac_event carol = Event("/bin/sh", "/opt/x");
  carol.user = "carol";
  EXPECT_FALSE(Found(DAL_TRUST_TARGET, carol));
  EXPECT_TRUE(Found(DAL_TRUST_BLOCK, carol));
  // Group lists are split at commas and trimmed.
  ac_event member = Event("/bin/sh", "/srv/x");
  member.group = "users, wheel";
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, member));
  member.group = "wheels";
  EXPECT_FALSE(Found(DAL_TRUST_TARGET, member));
}

TEST_F(TrustRulesTest, LowestIdWinsAndOnlyItsHitCountGrows) {
  Load({Rule(DAL_TRUST_TARGET, "", "/usr/"), Rule(DAL_TRUST_ANY, "", "/usr/bin/"),
        Rule(DAL_TRUST_TARGET, "", "/")});
  ac_event e = Event("/bin/sh", "/usr/bin/ls");
  ASSERT_TRUE(dal.IsFoundInTrustRules(DAL_TRUST_TARGET, e));
  ASSERT_TRUE(dal.IsFoundInTrustRules(DAL_TRUST_TARGET, e));
  EXPECT_EQ(Hitcounts(), (Texts{"2", "0", "0"}));
  // A rule of kind 0 serves every question; the first that applies wins.
  ac_event other = Event("/bin/sh", "/usr/bin/ls");
  ASSERT_TRUE(dal.IsFoundInTrustRules(DAL_TRUST_BLOCK, other));
  EXPECT_EQ(other.ruleset, "rs-0");
  EXPECT_EQ(Hitcounts(), (Texts{"2", "1", "0"}));
}

TEST_F(TrustRulesTest, NamesNoRuleCanMatchAreAnsweredWithoutTheQuery) {
  Load({Rule(DAL_TRUST_TARGET, "/usr/bin/a")});
  const ac_event other = Event("/usr/bin/b", "/x");
  EXPECT_FALSE(Found(DAL_TRUST_TARGET, other));
  // Rules stored later by this process count at once, wildcards included.
  ASSERT_TRUE(dal.ImportRulesetBuffer(
      true, R"({"Trustrules": [{"processName": "/usr/bin/*", "trustType": 2}]})",
      "trustrules-more"));
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, other));
  // A purge forgets them.
  ASSERT_TRUE(dal.ImportRulesetBuffer(
      false, R"({"Trustrules": [{"processName": "/opt/x", "trustType": 2}]})", "trustrules-new"));
  EXPECT_FALSE(Found(DAL_TRUST_TARGET, other));
  EXPECT_TRUE(Found(DAL_TRUST_TARGET, Event("/opt/x", "/y")));
}

// --- Buffers -------------------------------------------------------------------

// The 1001st record flushes the buffer; while the file is gone each store
// past the thousandth tries the flush again, fails and keeps the batch.
TEST_F(TrustRulesTest, BuffersPastAThousandAreTriedAtEveryStoreUntilTheDatabaseIsBack) {
  const struct {
    const char* table;
    std::function<bool(int)> store;
  } kBuffers[] = {
      {"TrustRules",
       [&](int i) {
         ac_trust_rule r = Rule(DAL_TRUST_TARGET, "/p" + std::to_string(i));
         return dal.StoreTrustRuleBuffer(r);
       }},
      {"UserList",
       [&](int i) {
         ac_user_list u{"ops", "user" + std::to_string(i)};
         return dal.StoreUserListBuffer(u);
       }},
  };
  for (const auto& buffer : kBuffers) {
    SCOPED_TRACE(buffer.table);
    const std::string count = std::string("SELECT count(*) FROM ") + buffer.table;
    for (int i = 1; i <= 1000; ++i) ASSERT_TRUE(buffer.store(i));
    EXPECT_EQ(Db(PathIn("ac.db")).One(count), "0");
    ASSERT_TRUE(dal.DeleteDB());
    EXPECT_FALSE(buffer.store(1001));
    EXPECT_FALSE(buffer.store(1002));
    ASSERT_TRUE(dal.PurgeDB(DAL_SOURCE_ALL));  // creates the file anew
    EXPECT_TRUE(buffer.store(1003));
    EXPECT_EQ(Db(PathIn("ac.db")).One(count), "1003");
  }
}

TEST_F(TrustRulesTest, BuffersFlushOnRequestAndAtShutdown) {
  ac_user_list a{"admins", "alice"}, b{"admins", "bob"};
  ASSERT_TRUE(dal.StoreUserListBuffer(a));
  ASSERT_TRUE(dal.StoreUserListBuffer(b));
  EXPECT_EQ(dal.StoreUserListFlush(), 2u);
  ac_user_list c{"ops", "carol"};
  ac_trust_rule r = Rule(DAL_TRUST_TARGET);
  ASSERT_TRUE(dal.StoreUserListBuffer(c));
  ASSERT_TRUE(dal.StoreTrustRuleBuffer(r));
  ac_event item;
  item.source = DAL_SOURCE_SCANNED_ITEMS;
  ASSERT_EQ(dal.StoreItemBuffer(item), 1u);
  dal.ShutdownDAL();
  Db db(PathIn("ac.db"));
  EXPECT_EQ(db.Rows("SELECT id, user FROM UserList ORDER BY rowid"),
            (Texts{"admins|alice", "admins|bob", "ops|carol"}));
  EXPECT_EQ(db.One("SELECT count(*) FROM TrustRules"), "1");
  EXPECT_EQ(db.One("SELECT count(*) FROM InventoryItems"), "1");
}

}  // namespace
