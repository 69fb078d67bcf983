// The plain-text parts of a batch: the subject list, shards and Slurm arrays, result rows.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/commands/batchlist.h"
#include "app/commands/batchsubject.h"
#include "app/commands/commands.h"
#include "app/commands/progress.h"

namespace {

std::vector<Subject> parsed(const std::string& text) {
    std::vector<Subject> s;
    std::string error;
    EXPECT_TRUE(parseSubjectList(text, s, error)) << error;
    return s;
}

std::string refused(const std::string& text) {
    std::vector<Subject> s;
    std::string error;
    EXPECT_FALSE(parseSubjectList(text, s, error)) << text;
    return error;
}

}  // namespace

TEST(SubjectList, IdsFromFileNamesOrGivenAndLinesSkipped) {
    const auto s = parsed("# cohort\n/data/sub-01_T1w.nii.gz\n\n  \nsub02\tscans/b.hdr\r\nc.img.gz\n/x/y/d.nii\n");
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[0].id, "sub-01_T1w");
    EXPECT_EQ(s[0].path, "/data/sub-01_T1w.nii.gz");
    EXPECT_EQ(s[0].line, 2);
    EXPECT_EQ(s[1].id, "sub02");
    EXPECT_EQ(s[1].path, "scans/b.hdr");  // the Windows line end is not part of it
    EXPECT_EQ(s[2].id, "c");
    EXPECT_EQ(s[3].id, "d");
    EXPECT_EQ(s[3].line, 7);
}

TEST(SubjectList, RefusedBeforeAnyWork) {
    // Two files of one name in different folders: every clash is named with its lines.
    const std::string dup = refused("a/t1.nii.gz\nb/t1.nii\nx\tc.nii\nx\td.nii\n");
    EXPECT_NE(dup.find("'t1' on lines 1 and 2"), std::string::npos) << dup;
    EXPECT_NE(dup.find("'x' on lines 3 and 4"), std::string::npos) << dup;
    // Ids become folder names.
    EXPECT_NE(refused("../up\ta.nii\n").find("'/'"), std::string::npos);
    EXPECT_NE(refused("..\ta.nii\n").find("names no folder"), std::string::npos);
    EXPECT_NE(refused("\ta.nii\n").find("empty id"), std::string::npos);
    EXPECT_NE(refused("id\ta.nii\textra\n").find("line 1"), std::string::npos);
    EXPECT_NE(refused("# nothing\n\n").find("no subject"), std::string::npos);
}

TEST(Shard, ParsedAndEveryNthTaken) {
    Shard s;
    std::string error;
    ASSERT_TRUE(parseShard("2/3", s, error));
    std::vector<size_t> taken;
    for (size_t k = 0; k < 8; ++k)
        if (s.contains(k)) taken.push_back(k);
    EXPECT_EQ(taken, (std::vector<size_t>{1, 4, 7}));
    for (const char* bad : {"0/2", "3/2", "1/0", "1", "a/b", "1/2x", "-1/2", "/2", ""})
        EXPECT_FALSE(parseShard(bad, s, error)) << bad;
    // Shards of one N cover the list once.
    for (size_t k = 0; k < 10; ++k) {
        int owners = 0;
        for (int i = 1; i <= 4; ++i) owners += Shard{i, 4}.contains(k);
        EXPECT_EQ(owners, 1);
    }
}

TEST(Shard, FromSlurmArrayEnvironment) {
    auto run = [](std::map<std::string, std::string> vars, Shard& s, std::string& error) {
        error.clear();
        return shardFromSlurm(
            [&](const char* n) { return vars.count(n) ? vars[n].c_str() : (const char*)nullptr; }, s, error);
    };
    Shard s;
    std::string error;
    EXPECT_FALSE(run({}, s, error));  // not an array job
    EXPECT_TRUE(error.empty());
    // --array=1-4: task 3 is shard 3/4; --array=0-3 likewise numbered from its first task.
    ASSERT_TRUE(run({{"SLURM_ARRAY_TASK_ID", "3"}, {"SLURM_ARRAY_TASK_MIN", "1"}, {"SLURM_ARRAY_TASK_MAX", "4"},
                     {"SLURM_ARRAY_TASK_COUNT", "4"}},
                    s, error));
    EXPECT_EQ(s.index, 3);
    EXPECT_EQ(s.count, 4);
    ASSERT_TRUE(run({{"SLURM_ARRAY_TASK_ID", "0"}, {"SLURM_ARRAY_TASK_MIN", "0"}, {"SLURM_ARRAY_TASK_MAX", "3"}}, s,
                    error));
    EXPECT_EQ(s.index, 1);
    EXPECT_EQ(s.count, 4);
    // --array=10-30:10
    ASSERT_TRUE(run({{"SLURM_ARRAY_TASK_ID", "20"}, {"SLURM_ARRAY_TASK_MIN", "10"}, {"SLURM_ARRAY_TASK_MAX", "30"},
                     {"SLURM_ARRAY_TASK_STEP", "10"}},
                    s, error));
    EXPECT_EQ(s.index, 2);
    EXPECT_EQ(s.count, 3);
    // Numbers that give no shard: an error, never a guess.
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "2"}}, s, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "9"}, {"SLURM_ARRAY_TASK_MIN", "1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
                     s, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "x"}, {"SLURM_ARRAY_TASK_MIN", "1"}, {"SLURM_ARRAY_TASK_COUNT", "4"}},
                     s, error));
    EXPECT_FALSE(error.empty());

    // Counts that do not fit a shard, and numbers whose differences overflow: refused, not
    // a wrapped count (which made index > count, and `contains` divide by a negative).
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "7"}, {"SLURM_ARRAY_TASK_MIN", "1"}, {"SLURM_ARRAY_TASK_STEP", "6"},
                      {"SLURM_ARRAY_TASK_MAX", "1666666656667"}},
                     s, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "1"}, {"SLURM_ARRAY_TASK_MIN", "1"},
                      {"SLURM_ARRAY_TASK_COUNT", "4294967297"}},
                     s, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(run({{"SLURM_ARRAY_TASK_ID", "0"}, {"SLURM_ARRAY_TASK_MIN", "-9223372036854775808"},
                      {"SLURM_ARRAY_TASK_MAX", "9223372036854775807"}},
                     s, error));
    EXPECT_FALSE(error.empty());
    // The largest array --shard allows still works.
    ASSERT_TRUE(run({{"SLURM_ARRAY_TASK_ID", "999999"}, {"SLURM_ARRAY_TASK_MIN", "0"},
                     {"SLURM_ARRAY_TASK_MAX", "999999"}},
                    s, error));
    EXPECT_EQ(s.index, 1000000);
    EXPECT_EQ(s.count, 1000000);
}

TEST(ResultRow, RoundTripsAndKeepsElevenColumns) {
    ResultRow r;
    r.id = "sub-1";
    r.path = "a\tb.nii";  // a tab would shift every column after it
    r.status = "failed";
    r.seconds = 1.5;
    r.message = "cannot use image\n'a b.nii'";
    const std::string line = formatResultRow(r);
    EXPECT_EQ(line, "sub-1\ta b.nii\tfailed\t\t1.500\tcannot use image 'a b.nii'\t\t\t\t\t");
    ResultRow back;
    ASSERT_TRUE(parseResultRow(line, back));
    EXPECT_FALSE(back.hasCost);
    EXPECT_EQ(back.message, "cannot use image 'a b.nii'");
    r.status = "ok";
    r.hasCost = true;
    r.cost = -0.8123456;
    ASSERT_TRUE(parseResultRow(formatResultRow(r), back));
    EXPECT_EQ(back.status, "ok");
    EXPECT_NEAR(back.cost, -0.812346, 1e-9);
    EXPECT_FALSE(parseResultRow("a\tb\tdone\t\t\t", back));
    EXPECT_FALSE(parseResultRow("a\tb\tok\t-0.5\t1.0", back));
    EXPECT_FALSE(parseResultRow("a\tb\tok\tnan\t1.0\t", back));
}

// A subject's record is what a rerun trusts to skip it: it must come back with the settings
// it was made with, and a record cut short (a process killed while writing it elsewhere
// than through a rename, or another program's file) must never read as done.
TEST(SubjectRecord, RoundTripsAndRefusesWhatIsNotWhole) {
    ResultRow r;
    r.id = "sub-1";
    r.path = "/data/sub-1.nii.gz";
    r.status = "ok";
    r.hasCost = true;
    r.cost = -0.75;
    r.seconds = 3.25;
    r.hasVerdict = true;
    r.fixedOverlap = 0.5;
    r.movingOverlap = 0.9;
    r.turn = 2.5;
    const std::string settings = "version=1.0 cost=foreground fixed=t1.nii.gz fixed-mask= dof=12 init=header";
    const std::string text = subjectResultText(r, settings);
    ResultRow back;
    std::string made;
    ASSERT_TRUE(parseSubjectResult(text, back, made));
    EXPECT_EQ(made, settings);
    EXPECT_EQ(back.id, "sub-1");
    EXPECT_EQ(back.path, r.path);
    EXPECT_EQ(back.status, "ok");
    EXPECT_NEAR(back.cost, -0.75, 1e-9);
    // Its row is the line the batch's table holds for the subject.
    EXPECT_EQ(tableText({r}), std::string(kResultsHeader) + "\n" + formatResultRow(r) + "\n");
    EXPECT_EQ(text.substr(text.find('\n') + 1), tableText({r}));
    for (size_t cut : {text.find('\n'), text.find('\n') + 1, text.rfind('\t')})
        EXPECT_FALSE(parseSubjectResult(text.substr(0, cut), back, made)) << cut;
    EXPECT_FALSE(parseSubjectResult(tableText({r}), back, made));  // a table is not a record
}

// The verdict's five columns: a reason is free text and must not shift a column; rows of
// tables from before them still read, without a verdict; half a verdict is no row.
TEST(ResultRow, VerdictColumns) {
    ResultRow r;
    r.id = "s";
    r.path = "s.nii";
    r.status = "ok";
    r.hasCost = true;
    r.cost = -0.5;
    r.seconds = 2;
    r.hasVerdict = true;
    r.fixedOverlap = 0.41234;
    r.movingOverlap = 0.9996;
    r.turn = 149.96;
    r.suspect = true;
    r.reason = "turned\t150 degrees\nfrom the start";
    const std::string line = formatResultRow(r);
    EXPECT_EQ(line, "s\ts.nii\tok\t-0.500000\t2.000\t\t0.412\t1.000\t150.0\tsuspect\tturned 150 degrees from the start");
    ResultRow back;
    ASSERT_TRUE(parseResultRow(line, back));
    EXPECT_TRUE(back.hasVerdict && back.suspect);
    EXPECT_EQ(back.reason, "turned 150 degrees from the start");
    EXPECT_NEAR(back.turn, 150.0, 1e-9);
    // ok: no reason written, whatever the row held.
    r.suspect = false;
    EXPECT_EQ(formatResultRow(r).substr(formatResultRow(r).size() - 4), "\tok\t");
    // A failure has no verdict: five empty columns.
    r = ResultRow();
    r.id = "f";
    r.path = "f.nii";
    r.status = "failed";
    r.message = "cannot read";
    EXPECT_EQ(formatResultRow(r), "f\tf.nii\tfailed\t\t\tcannot read\t\t\t\t\t");
    ASSERT_TRUE(parseResultRow(formatResultRow(r), back));
    EXPECT_FALSE(back.hasVerdict);
    // A row of an older table.
    ASSERT_TRUE(parseResultRow("a\ta.nii\tok\t-0.8\t3.0\t", back));
    EXPECT_EQ(back.status, "ok");
    EXPECT_FALSE(back.hasVerdict);
    for (const char* bad : {"a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t0.9\t1.0\tmaybe\t",
                            "a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t\t1.0\tok\t",
                            "a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t0.9\t1.0\tok\twhy",
                            "a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t0.9\t1.0\t\t",
                            "a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t0.9\tnan\tsuspect\twhy",
                            "a\ta.nii\tok\t-0.8\t3.0\t\t0.5\t0.9\t1.0\tok"})
        EXPECT_FALSE(parseResultRow(bad, back)) << bad;
}

// Records of an earlier version or of the other cost must never be taken for this run's,
// and those from before the verdict must still read (their subjects are then redone).
TEST(SubjectRecord, VersionAndCostKindInTheSettings) {
    RegistrationOptions o;
    const std::string key = settingsKey("t1.nii.gz", o);
    EXPECT_EQ(key.rfind(std::string("version=") + tarvoVersion() + " cost=two-way-foreground ", 0), 0u) << key;
    o.noForeground = true;
    const std::string whole = settingsKey("t1.nii.gz", o);
    EXPECT_EQ(whole.rfind(std::string("version=") + tarvoVersion() + " cost=two-way-whole-field ", 0), 0u) << whole;
    EXPECT_NE(staleReason(whole, key).find("other settings"), std::string::npos);
    o.oneWay = true;
    const std::string oneWay = settingsKey("t1.nii.gz", o);
    EXPECT_EQ(oneWay.rfind(std::string("version=") + tarvoVersion() + " cost=whole-field ", 0), 0u) << oneWay;
    EXPECT_NE(staleReason(oneWay, whole).find("other settings"), std::string::npos);
    std::string older = key;
    older.replace(0, older.find(' '), "version=0.0.1");
    EXPECT_NE(staleReason(older, key).find("another version"), std::string::npos);
    EXPECT_NE(staleReason("fixed=t1.nii.gz dof=12", key).find("another version"), std::string::npos);

    ResultRow back;
    std::string made;
    ASSERT_TRUE(parseSubjectResult("# tarvo batch settings: fixed=t1.nii.gz dof=12\n"
                                   "id\tpath\tstatus\tcost\tseconds\tmessage\n"
                                   "a\ta.nii\tok\t-0.8\t3.0\t\n",
                                   back, made));
    EXPECT_EQ(made, "fixed=t1.nii.gz dof=12");
    EXPECT_FALSE(back.hasVerdict);
    // A row not as wide as its header is not a record batch wrote.
    EXPECT_FALSE(parseSubjectResult(std::string("# tarvo batch settings: x\n") + kResultsHeader + "\n" +
                                        "a\ta.nii\tok\t-0.8\t3.0\t\n",
                                    back, made));
}

// Several subjects at once: the bar names every subject in progress, in the order they
// started, and the time left counts the lanes that work through what is left.
TEST(BatchProgress, BarWithSeveralLanes) {
    BatchProgress p(BatchProgress::Mode::Bar, 5, 2);
    testing::internal::CaptureStderr();
    p.starting("a");
    p.starting("b");
    p.finished("a", "ok", "", 10.0, true);
    p.starting("c");
    const std::string bar = testing::internal::GetCapturedStderr();
    const std::string last = bar.substr(bar.rfind('\r'));
    // 4 left after 10 s for one, on 2 lanes: 20 s.
    EXPECT_NE(last.find("1/5  0 failed  ~0:00:20 left  b, c"), std::string::npos) << last;
    testing::internal::CaptureStderr();
    p.finished("c", "failed", "", 2.0, true);
    p.finished("b", "ok", "", 12.0, true);
    p.starting("d");
    p.finished("d", "ok", "", 12.0, true);
    const std::string end = testing::internal::GetCapturedStderr();
    // The last subject runs alone: 12 s on one lane.
    EXPECT_NE(end.find("4/5  1 failed  ~0:00:09 left"), std::string::npos) << end;
}
