// A small Qt 6 widgets chat window used as a real target by the end-to-end
// tests, the same shape as the GTK one: a sidebar of channel rows in a
// scroll area (some behind a collapsed "Work" group at its end), a
// conversation area exposed as a web document, and a message box. The
// top-level is a bare widget, which Qt exposes as a filler, not a frame.
// Every row selection, group press and message-box focus or click is
// appended as one line to the file named by OMBRU_TARGET_LOG, so a test can
// check what the application really did.
//
// Options: --name NAME sets the application name the desktop lists it by
//          (default: the program's name);
//          --scrolled N scrolls the sidebar down by N pixels at start.
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

FILE* logFile = nullptr;

void record(const QString& line) {
  if (!logFile) return;
  std::fputs(line.toUtf8().constData(), logFile);
  std::fputc('\n', logFile);
  std::fflush(logFile);
}

const char* const kNames[] = {
    "general",  "random",    "announcements", "design",  "frontend",  "backend",  "ops",
    "oncall",   "releases",  "support",       "sales",   "marketing", "hiring",   "security",
    "infra",    "mobile",    "android",       "ios",     "web",       "docs",     "research",
    "data",     "analytics", "finance",       "legal",   "office",    "travel",   "books",
    "music",    "games",     "pets",          "food",    "running",   "cycling",  "photos",
    "movies",   "garden",    "cooking",       "coffee",  "climbing",  "chess",    "astronomy",
    "woodwork", "knitting",  "sailing",       "skiing",  "tennis",    "football", "basketball",
    "baseball", "hockey",    "golf",          "surfing", "yoga",      "Planning", "Retro",
};

QString screenRect(QWidget* w) {
  const QPoint at = w->mapToGlobal(QPoint(0, 0));
  return QString("%1,%2 %3x%4").arg(at.x()).arg(at.y()).arg(w->width()).arg(w->height());
}

// Selects a row on a press, as a chat sidebar does.
class Row : public QLabel {
 public:
  explicit Row(const QString& text) : QLabel(text) {
    setContentsMargins(10, 6, 10, 6);
    setMinimumHeight(28);
  }

 protected:
  void mousePressEvent(QMouseEvent* e) override {
    record("row " + text() + " " + screenRect(this));
    QLabel::mousePressEvent(e);
  }
};

class MessageBox : public QLineEdit {
 protected:
  void focusInEvent(QFocusEvent* e) override {
    record("focus message");
    QLineEdit::focusInEvent(e);
  }
  void mousePressEvent(QMouseEvent* e) override {
    const QPoint g = e->globalPosition().toPoint();
    record(QString("click message %1,%2 in ").arg(g.x()).arg(g.y()) + screenRect(this));
    QLineEdit::mousePressEvent(e);
  }
};

// Chat clients render their conversation in a web view; this role makes the
// conversation look the same to assistive technology.
// The factory knows it by its object name: a class without its own meta
// object is reported as a plain QWidget.
QAccessibleInterface* factory(const QString&, QObject* object) {
  if (object && object->isWidgetType() && object->objectName() == QLatin1String("conversation"))
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::WebDocument);
  return nullptr;
}

QString option(const QStringList& args, const QString& name, const QString& fallback) {
  const qsizetype i = args.indexOf(name);
  return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  // Qt exposes its tree only when asked at start; the tests ask for it here
  // rather than depend on the desktop's switch.
  qputenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON", "1");
  // Named before the application exists: it registers on the accessibility
  // bus under the name it has then.
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--name") QCoreApplication::setApplicationName(argv[i + 1]);
  QApplication app(argc, argv);
  // After the application: Qt's own widget factory, installed with it,
  // would otherwise answer first.
  QAccessible::installFactory(factory);
  const QStringList args = app.arguments();
  if (const char* path = std::getenv("OMBRU_TARGET_LOG")) logFile = std::fopen(path, "a");

  QWidget window;
  window.setWindowTitle("Chat");
  auto* layout = new QHBoxLayout(&window);

  auto* side = new QWidget;
  side->setFixedWidth(250);
  auto* sideLayout = new QVBoxLayout(side);
  sideLayout->setContentsMargins(0, 0, 0, 0);
  auto* search = new QLineEdit;
  search->setPlaceholderText("Search");
  sideLayout->addWidget(search);
  auto* scroller = new QScrollArea;
  scroller->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  scroller->setWidgetResizable(true);
  auto* list = new QWidget;
  auto* rows = new QVBoxLayout(list);
  rows->setSpacing(0);
  for (const char* name : kNames) rows->addWidget(new Row(name));
  // The group's rows exist from the start but stay hidden until its button
  // is pressed, as a collapsed section of a real chat sidebar does.
  auto* work = new QPushButton("Work");
  rows->addWidget(work);
  std::vector<Row*> hidden;
  for (const char* name : {"Standup", "Roadmap", "Quarterly plan"}) {
    auto* row = new Row(name);
    row->hide();
    rows->addWidget(row);
    hidden.push_back(row);
  }
  rows->addStretch(1);
  QObject::connect(work, &QPushButton::clicked, [hidden] {
    record("group Work");
    for (Row* r : hidden) r->show();
  });
  scroller->setWidget(list);
  sideLayout->addWidget(scroller, 1);
  layout->addWidget(side);

  auto* right = new QWidget;
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(40, 0, 0, 0);
  auto* doc = new QWidget;
  doc->setObjectName("conversation");
  auto* docLayout = new QVBoxLayout(doc);
  docLayout->addWidget(new QLabel("Today"));
  const char* const speakers[] = {"Alice", "Bob", "Carol"};
  const char* const words[] = {"Morning all",
                               "Build is green again",
                               "Lunch at noon?",
                               "Shipping the fix today",
                               "Who has the release notes",
                               "Thanks, looks good"};
  for (int i = 0; i < 6; ++i)
    docLayout->addWidget(new QLabel(QString(speakers[i % 3]) + ": " + words[i]));
  docLayout->addStretch(1);
  rightLayout->addWidget(doc, 1);
  auto* message = new MessageBox;
  message->setPlaceholderText("Type a message");
  rightLayout->addWidget(message);
  layout->addWidget(right, 1);

  window.resize(900, 640);
  window.move(40, 40);
  window.show();
  const int scrolled = option(args, "--scrolled", "0").toInt();
  QTimer::singleShot(300, [scroller, scrolled] {
    if (scrolled > 0) scroller->verticalScrollBar()->setValue(scrolled);
    record("ready");
  });
  return app.exec();
}
