// Replays the fuzz corpus through the list walk, so every input the fuzzer kept is checked in each run.

#include "tests/app/walk_invariants.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

namespace {

TEST(UpdateListFuzzCorpus, EveryInputKeepsTheInvariants)
{
    const QDir corpus(QStringLiteral(QUORBEL_FUZZ_CORPUS));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    ASSERT_GE(names.size(), 10) << "corpus missing at " << QUORBEL_FUZZ_CORPUS;
    int offers = 0;
    for (const QString& name : names) {
        QFile file(corpus.filePath(name));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        const auto actions = quorbel::update::walkUpdateList(file.readAll(), quorbel::update::fuzzRunningVersion,
                                                             quorbel::update::fuzzHostPrefix);
        EXPECT_EQ(quorbel::update::brokenWalkInvariant(actions), "")
            << name.toStdString();
        for (const auto& a : actions) {
            offers += a.kind == quorbel::update::UpdateAction::Kind::OfferUpdate;
        }
    }
    // The seeds include lists that really offer an update, so the offer path is replayed too.
    EXPECT_GT(offers, 0);
}

}  // namespace
