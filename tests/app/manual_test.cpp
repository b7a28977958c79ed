// The embedded manual: a real PDF, built from the Markdown source, whose text holds every heading.

#include "app/help_document.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QPdfDocument>
#include <QPdfSelection>
#include <QRegularExpression>

namespace {

QString collapsed(QString text)
{
    return text.replace(QRegularExpression(QStringLiteral("\\s+")), QStringLiteral(" ")).trimmed();
}

TEST(HelpManual, EmbeddedPdfHoldsEveryHeadingOfTheSource)
{
    QFile source(QStringLiteral(QUORBEL_MANUAL_SOURCE));
    ASSERT_TRUE(source.open(QIODevice::ReadOnly));
    QStringList headings;
    const QRegularExpression heading(QStringLiteral("^#{1,3} +(.+)$"), QRegularExpression::MultilineOption);
    for (auto it = heading.globalMatch(QString::fromUtf8(source.readAll())); it.hasNext();) {
        headings << collapsed(it.next().captured(1));
    }
    ASSERT_GE(headings.size(), 10);

    const std::optional<QString> path = quorbel::lookUpEmbeddedResource(QStringLiteral("QuorbelHelp"), QStringLiteral("pdf"));
    ASSERT_TRUE(path.has_value());
    EXPECT_EQ(*path, quorbel::embeddedHelpDocumentPath());

    QPdfDocument pdf;
    ASSERT_EQ(pdf.load(*path), QPdfDocument::Error::None);
    EXPECT_GE(pdf.pageCount(), 4);
    EXPECT_EQ(pdf.metaData(QPdfDocument::MetaDataField::Title).toString(),
              QStringLiteral("Quorbel Sparse Bundle Utility Manual"));
    QString text;
    for (int page = 0; page < pdf.pageCount(); ++page) {
        text += pdf.getAllText(page).text() + QLatin1Char(' ');
    }
    text = collapsed(text);
    for (const QString& h : headings) {
        EXPECT_TRUE(text.contains(h)) << "heading missing from the PDF: " << h.toStdString();
    }
    // The seven file systems and every button are described.
    for (const char* word : {"HFS+J", "Case-sensitive APFS", "exFAT", "MS-DOS", "UDF", "Change band size",
                             "Change password", "Get info", "Compact", "Resize", "Battery", "AES-256"}) {
        EXPECT_TRUE(text.contains(QString::fromUtf8(word))) << word;
    }
}

TEST(HelpManual, LookupOfAMissingResourceGivesNothing)
{
    EXPECT_FALSE(quorbel::lookUpEmbeddedResource(QStringLiteral("QuorbelHelp"), QStringLiteral("txt")));
    EXPECT_FALSE(quorbel::lookUpEmbeddedResource(QStringLiteral("NoSuchManual"), QStringLiteral("pdf")));
}

}  // namespace
