// Build-time tool: renders the Markdown manual into the PDF that the help window shows.
// Usage: quorbel_manual_pdf INPUT.md OUTPUT.pdf TITLE

#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPdfWriter>
#include <QSaveFile>
#include <QTextDocument>
#include <QTextStream>

#include <cstdio>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QGuiApplication app(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s INPUT.md OUTPUT.pdf TITLE\n", argv[0]);
    return 2;
  }
  QFile input(QString::fromLocal8Bit(argv[1]));
  if (!input.open(QIODevice::ReadOnly)) {
    std::fprintf(stderr, "cannot read %s: %s\n", argv[1], qPrintable(input.errorString()));
    return 1;
  }
  const QString markdown = QString::fromUtf8(input.readAll());

  // Written to a temporary file and renamed at the end, so a failed run never leaves half a PDF.
  QSaveFile output(QString::fromLocal8Bit(argv[2]));
  if (!output.open(QIODevice::WriteOnly)) {
    std::fprintf(stderr, "cannot write %s: %s\n", argv[2], qPrintable(output.errorString()));
    return 1;
  }
  {
    QPdfWriter writer(&output);
    writer.setTitle(QString::fromLocal8Bit(argv[3]));
    writer.setCreator(QStringLiteral("Quorbel Sparse Bundle Utility"));
    writer.setResolution(300);
    writer.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF(18, 18, 18, 18),
                                     QPageLayout::Millimeter));

    QTextDocument document;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSizeF(10.5);
    document.setDefaultFont(font);
    document.setDefaultStyleSheet(QStringLiteral("table { border-collapse: collapse; }"));
    document.setMarkdown(markdown, QTextDocument::MarkdownDialectGitHub);
    document.print(&writer);
  }
  if (!output.commit()) {
    std::fprintf(stderr, "cannot finish %s: %s\n", argv[2], qPrintable(output.errorString()));
    return 1;
  }
  return 0;
}
