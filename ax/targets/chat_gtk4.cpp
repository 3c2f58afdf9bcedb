// A small GTK 4 chat window used as a real target by the end-to-end tests:
// a sidebar of channel rows in a scrolled list (some behind a collapsed
// "Work" group at its end) and a message box. GTK 4.8 places its elements
// relative to the window and marks none below it as showing. Every row
// selection and group press is appended as one line to the file named by
// OMBRU_TARGET_LOG, so a test can check what the application really did.
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
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
    "general", "random",    "announcements", "design", "frontend",  "backend", "ops",
    "oncall",  "releases",  "support",       "sales",  "marketing", "hiring",  "security",
    "infra",   "mobile",    "android",       "ios",    "web",       "docs",    "research",
    "data",    "analytics", "finance",       "legal",  "office",    "travel",  "books",
    "music",   "games",     "pets",          "food",   "running",   "cycling", "photos",
    "movies",  "garden",    "cooking",       "coffee", "climbing",
};

GtkWidget* rowLabel(const char* text) {
  GtkWidget* label = gtk_label_new(text);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_widget_set_margin_start(label, 10);
  gtk_widget_set_margin_top(label, 6);
  gtk_widget_set_margin_bottom(label, 6);
  return label;
}

void onRowActivated(GtkListBox*, GtkListBoxRow* row, gpointer) {
  GtkWidget* child = gtk_list_box_row_get_child(row);
  if (GTK_IS_LABEL(child)) record(std::string("row ") + gtk_label_get_text(GTK_LABEL(child)) + " ");
}

// OMBRU_TARGET_NOTES: a second window of the same application, titled
// "Notes", whose list's rows have the same names as the chat's, opened
// first so the chat window is the front one.
void openNotes(GtkApplication* app) {
  GtkWidget* win = gtk_application_window_new(app);
  gtk_window_set_title(GTK_WINDOW(win), "Notes");
  gtk_window_set_default_size(GTK_WINDOW(win), 400, 300);
  GtkWidget* list = gtk_list_box_new();
  gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list), TRUE);
  g_signal_connect(list, "row-activated",
                   G_CALLBACK(+[](GtkListBox*, GtkListBoxRow* row, gpointer) {
                     GtkWidget* child = gtk_list_box_row_get_child(row);
                     if (GTK_IS_LABEL(child))
                       record(std::string("notes ") + gtk_label_get_text(GTK_LABEL(child)));
                   }),
                   nullptr);
  for (const char* name : {"general", "random"})
    gtk_list_box_append(GTK_LIST_BOX(list), gtk_label_new(name));
  gtk_window_set_child(GTK_WINDOW(win), list);
  gtk_window_present(GTK_WINDOW(win));
}

void activate(GtkApplication* app, gpointer) {
  if (std::getenv("OMBRU_TARGET_NOTES")) openNotes(app);
  GtkWidget* win = gtk_application_window_new(app);
  gtk_window_set_title(GTK_WINDOW(win), "Chat");
  gtk_window_set_default_size(GTK_WINDOW(win), 900, 640);
  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0);
  GtkWidget* scroller = gtk_scrolled_window_new();
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                 GTK_POLICY_AUTOMATIC);
  gtk_widget_set_size_request(scroller, 250, -1);
  GtkWidget* list = gtk_list_box_new();
  gtk_list_box_set_activate_on_single_click(GTK_LIST_BOX(list), TRUE);
  g_signal_connect(list, "row-activated", G_CALLBACK(onRowActivated), nullptr);
  for (const char* name : kNames) gtk_list_box_append(GTK_LIST_BOX(list), rowLabel(name));
  // The group's rows exist from the start but stay hidden until its button
  // is pressed, as a collapsed section of a real chat sidebar does.
  GtkWidget* header = gtk_list_box_row_new();
  gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(header), FALSE);
  GtkWidget* button = gtk_button_new_with_label("Work");
  gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(header), button);
  gtk_list_box_append(GTK_LIST_BOX(list), header);
  auto* hidden = new std::vector<GtkWidget*>;
  for (const char* name : {"Standup", "Roadmap"}) {
    GtkWidget* row = gtk_list_box_row_new();
    gtk_list_box_row_set_child(GTK_LIST_BOX_ROW(row), rowLabel(name));
    gtk_widget_set_visible(row, FALSE);
    gtk_list_box_append(GTK_LIST_BOX(list), row);
    hidden->push_back(row);
  }
  g_signal_connect(button, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                     record("group Work");
                     for (GtkWidget* r : *static_cast<std::vector<GtkWidget*>*>(data))
                       gtk_widget_set_visible(r, TRUE);
                   }),
                   hidden);
  gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller), list);
  gtk_box_append(GTK_BOX(box), scroller);
  GtkWidget* message = gtk_entry_new();
  gtk_entry_set_placeholder_text(GTK_ENTRY(message), "Type a message");
  gtk_widget_set_hexpand(message, TRUE);
  gtk_widget_set_valign(message, GTK_ALIGN_END);
  gtk_widget_set_margin_start(message, 40);
  gtk_box_append(GTK_BOX(box), message);
  gtk_window_set_child(GTK_WINDOW(win), box);
  gtk_window_present(GTK_WINDOW(win));
  g_timeout_add(
      300,
      +[](gpointer) -> gboolean {
        record("ready");
        return G_SOURCE_REMOVE;
      },
      nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* path = std::getenv("OMBRU_TARGET_LOG")) logFile = std::fopen(path, "a");
  // The window's place on screen comes from the X server.
  g_setenv("GDK_BACKEND", "x11", TRUE);
  // Listed under its own name, apart from a one-window instance.
  if (std::getenv("OMBRU_TARGET_NOTES")) g_set_prgname("ombru-chat-gtk4-notes");
  GtkApplication* app = gtk_application_new("dev.ombru.ChatGtk4", G_APPLICATION_NON_UNIQUE);
  g_signal_connect(app, "activate", G_CALLBACK(activate), nullptr);
  return g_application_run(G_APPLICATION(app), argc, argv);
}
