// A small GTK 3 chat window used as a real target by the end-to-end tests:
// a sidebar of channel rows in a scrolled list (some behind a collapsed
// "Work" group at its end), a conversation area exposed as a web document,
// and a message box. Every row activation, group press and message-box
// focus or click is appended as one line to the file named by
// OMBRU_TARGET_LOG, so a test can check what was really pressed.
//
// Options: --windows N opens N conversation windows (default 1);
//          --tool opens an extra tool window (not an ordinary window);
//          --name NAME sets the program name the desktop lists it by;
//          --rows N sets the number of plain sidebar rows (default 44);
//          --lines N sets the number of conversation lines (default 6).
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

FILE* logFile = nullptr;

void record(const std::string& line) {
  if (!logFile) return;
  std::fputs(line.c_str(), logFile);
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
    "baseball", "hockey",    "golf",          "surfing", "yoga",
};
constexpr int kNameCount = sizeof(kNames) / sizeof(kNames[0]);

std::string rowName(int i) {
  if (i < kNameCount) return kNames[i];
  return "channel " + std::to_string(i + 1);
}

GtkWidget* rowLabel(const std::string& text) {
  GtkWidget* label = gtk_label_new(text.c_str());
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_margin_start(label, 10);
  gtk_widget_set_margin_top(label, 6);
  gtk_widget_set_margin_bottom(label, 6);
  return label;
}

// The label's rectangle on screen, as GTK itself places it: the tests hold
// the tool's coordinates against it.
std::string screenRect(GtkWidget* widget) {
  GtkWidget* top = gtk_widget_get_toplevel(widget);
  int x = 0, y = 0, ox = 0, oy = 0;
  gtk_widget_translate_coordinates(widget, top, 0, 0, &x, &y);
  gdk_window_get_origin(gtk_widget_get_window(top), &ox, &oy);
  GtkAllocation a;
  gtk_widget_get_allocation(widget, &a);
  return std::to_string(ox + x) + "," + std::to_string(oy + y) + " " + std::to_string(a.width) +
         "x" + std::to_string(a.height);
}

void onRowActivated(GtkListBox*, GtkListBoxRow* row, gpointer) {
  GtkWidget* child = gtk_bin_get_child(GTK_BIN(row));
  if (GTK_IS_LABEL(child))
    record(std::string("row ") + gtk_label_get_text(GTK_LABEL(child)) + " " + screenRect(child));
}

void onGroupClicked(GtkButton* button, gpointer data) {
  record(std::string("group ") + gtk_button_get_label(button));
  for (GList* l = static_cast<GList*>(data); l; l = l->next) {
    gtk_widget_set_no_show_all(GTK_WIDGET(l->data), FALSE);
    gtk_widget_show_all(GTK_WIDGET(l->data));
  }
}

gboolean onEntryFocus(GtkWidget*, GdkEvent*, gpointer) {
  record("focus message");
  return FALSE;
}

gboolean onEntryPress(GtkWidget* entry, GdkEventButton* event, gpointer) {
  record("click message " + std::to_string(static_cast<int>(event->x_root)) + "," +
         std::to_string(static_cast<int>(event->y_root)) + " in " + screenRect(entry));
  return FALSE;
}

GtkWidget* sidebar(int rowCount, bool withGroup) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  gtk_widget_set_size_request(box, 250, -1);

  GtkWidget* search = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(search), "Search");
  gtk_box_pack_start(GTK_BOX(box), search, FALSE, FALSE, 0);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_box_pack_start(GTK_BOX(box), scroller, TRUE, TRUE, 0);

  GtkWidget* list = gtk_list_box_new();
  gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list), TRUE);
  g_signal_connect(list, "row-activated", G_CALLBACK(onRowActivated), nullptr);
  for (int i = 0; i < rowCount; ++i)
    gtk_list_box_insert(GTK_LIST_BOX(list), rowLabel(rowName(i)), -1);

  if (withGroup) {
    // The group's rows exist from the start but stay hidden until its button
    // is pressed, as a collapsed section of a real chat sidebar does.
    GList* hidden = nullptr;
    GtkWidget* header = gtk_list_box_row_new();
    gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(header), FALSE);
    GtkWidget* button = gtk_button_new_with_label("Work");
    gtk_container_add(GTK_CONTAINER(header), button);
    gtk_list_box_insert(GTK_LIST_BOX(list), header, -1);
    for (const char* name : {"Standup", "Roadmap", "Retro notes"}) {
      GtkWidget* row = gtk_list_box_row_new();
      gtk_container_add(GTK_CONTAINER(row), rowLabel(name));
      gtk_list_box_insert(GTK_LIST_BOX(list), row, -1);
      gtk_widget_set_no_show_all(row, TRUE);
      hidden = g_list_append(hidden, row);
    }
    g_signal_connect(button, "clicked", G_CALLBACK(onGroupClicked), hidden);
  }
  gtk_container_add(GTK_CONTAINER(scroller), list);
  return box;
}

GtkWidget* conversation(int lineCount) {
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
  // Keeps the conversation clear of the sidebar's strip.
  gtk_widget_set_margin_start(box, 40);

  GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_box_pack_start(GTK_BOX(box), scroller, TRUE, TRUE, 0);

  GtkWidget* doc = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
  // Chat clients render their conversation in a web view; the document role
  // makes this box look the same to assistive technology.
  AtkObject* acc = gtk_widget_get_accessible(doc);
  atk_object_set_role(acc, ATK_ROLE_DOCUMENT_WEB);
  atk_object_set_name(acc, "Conversation");
  const char* const speakers[] = {"Alice", "Bob", "Carol"};
  const char* const words[] = {"Morning all",
                               "Build is green again",
                               "Lunch at noon?",
                               "Shipping the fix today",
                               "Who has the release notes",
                               "Thanks, looks good"};
  GtkWidget* heading = gtk_label_new("Today");
  gtk_label_set_xalign(GTK_LABEL(heading), 0.0f);
  atk_object_set_role(gtk_widget_get_accessible(heading), ATK_ROLE_HEADING);
  gtk_box_pack_start(GTK_BOX(doc), heading, FALSE, FALSE, 0);
  for (int i = 0; i < lineCount; ++i) {
    std::string text = std::string(speakers[i % 3]) + ": " + words[i % 6];
    if (i >= 6) text += " #" + std::to_string(i + 1);
    GtkWidget* label = gtk_label_new(text.c_str());
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_box_pack_start(GTK_BOX(doc), label, FALSE, FALSE, 0);
  }
  gtk_container_add(GTK_CONTAINER(scroller), doc);

  GtkWidget* entry = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(entry), "Type a message");
  gtk_widget_add_events(entry, GDK_BUTTON_PRESS_MASK | GDK_FOCUS_CHANGE_MASK);
  g_signal_connect(entry, "focus-in-event", G_CALLBACK(onEntryFocus), nullptr);
  g_signal_connect(entry, "button-press-event", G_CALLBACK(onEntryPress), nullptr);
  gtk_box_pack_start(GTK_BOX(box), entry, FALSE, FALSE, 4);
  return box;
}

GtkWidget* chatWindow(int index, int rowCount, int lineCount) {
  GtkWidget* win = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  std::string title = "Ombru Chat";
  if (index > 0) title += " " + std::to_string(index + 1);
  gtk_window_set_title(GTK_WINDOW(win), title.c_str());
  gtk_window_set_default_size(GTK_WINDOW(win), 900, 640);
  gtk_window_move(GTK_WINDOW(win), 40 + 60 * index, 40 + 40 * index);
  GtkWidget* paned = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
  gtk_box_pack_start(GTK_BOX(paned), sidebar(rowCount, index == 0), FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(paned), conversation(lineCount), TRUE, TRUE, 0);
  gtk_container_add(GTK_CONTAINER(win), paned);
  g_signal_connect(win, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  return win;
}

const char* textOption(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  return fallback;
}

int intOption(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  return fallback;
}

bool flag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* path = std::getenv("OMBRU_TARGET_LOG")) logFile = std::fopen(path, "a");
  const int windows = intOption(argc, argv, "--windows", 1);
  const int rowCount = intOption(argc, argv, "--rows", 44);
  const int lineCount = intOption(argc, argv, "--lines", 6);
  const bool tool = flag(argc, argv, "--tool");
  g_set_prgname(textOption(argc, argv, "--name", "ombru-chat-gtk"));
  g_set_application_name("Ombru Chat");
  gtk_init(&argc, &argv);

  std::vector<GtkWidget*> shown;
  for (int i = windows - 1; i >= 0; --i) shown.push_back(chatWindow(i, rowCount, lineCount));
  if (tool) {
    GtkWidget* palette = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(palette), "Palette");
    gtk_window_set_type_hint(GTK_WINDOW(palette), GDK_WINDOW_TYPE_HINT_UTILITY);
    gtk_window_set_default_size(GTK_WINDOW(palette), 160, 300);
    gtk_container_add(GTK_CONTAINER(palette), gtk_label_new("Tools"));
    shown.insert(shown.begin(), palette);
  }
  for (GtkWidget* w : shown) gtk_widget_show_all(w);
  record("ready");
  gtk_main();
  if (logFile) std::fclose(logFile);
  return 0;
}
