// The demo's game: the program that the demo movie installs and starts. It opens a window titled
// "Brimtale" that shows who is playing and what it found of its data files.
//
//   brimtale-game [USER]
//
// When BRIMTALE_DEMO_GAME_MARKER names a file, the game writes "pid=..", "cwd=.." and "user=.."
// lines into it once its window is shown, so a test can tell that it runs and where. When
// BRIMTALE_DEMO_GAME_SECONDS holds a number, the game closes by itself after that many seconds
// (unattended runs, where nobody is there to press Quit).
#include <gtk/gtk.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string ExecutableFolder() {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  std::string text(path, static_cast<size_t>(length));
  size_t slash = text.rfind('/');
  return slash == std::string::npos ? "." : text.substr(0, slash);
}

// Lines and bytes of the world map beside the game; an empty text when it is missing.
std::string DescribeWorld(const std::string& folder) {
  std::ifstream in(folder + "/data/world.dat", std::ios::binary);
  if (!in) return "The world map is missing.";
  size_t lines = 0;
  size_t bytes = 0;
  std::string line;
  while (std::getline(in, line)) {
    ++lines;
    bytes += line.size() + 1;
  }
  char text[128];
  std::snprintf(text, sizeof text, "World map: %zu rows, %zu KiB", lines, bytes / 1024);
  return text;
}

struct Game {
  std::string user;
  std::string marker;
};

gboolean WriteMarker(gpointer data) {
  auto* game = static_cast<Game*>(data);
  if (game->marker.empty()) return G_SOURCE_REMOVE;
  char cwd[PATH_MAX] = "";
  if (getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
  std::string partial = game->marker + ".partial";
  {
    std::ofstream out(partial);
    out << "pid=" << getpid() << "\ncwd=" << cwd << "\nuser=" << game->user << "\n";
  }
  std::rename(partial.c_str(), game->marker.c_str());
  return G_SOURCE_REMOVE;
}

}  // namespace

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  Game game;
  game.user = argc > 1 ? argv[1] : "guest";
  if (const char* marker = std::getenv("BRIMTALE_DEMO_GAME_MARKER")) game.marker = marker;

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), "Brimtale");
  gtk_window_set_default_size(GTK_WINDOW(window), 640, 400);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css,
      "window { background: linear-gradient(#1b2a49, #3b5b8c); color: #f4ecd8; }"
      "#title { font: bold 48px serif; color: #ffd27a; }"
      "#text { font: 18px sans-serif; }", -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 16);
  gtk_widget_set_valign(box, GTK_ALIGN_CENTER);
  GtkWidget* title = gtk_label_new("Brimtale");
  gtk_widget_set_name(title, "title");
  const std::string welcome = "Welcome, " + game.user + ". The game is patched and running.";
  GtkWidget* text = gtk_label_new(welcome.c_str());
  gtk_widget_set_name(text, "text");
  GtkWidget* world = gtk_label_new(DescribeWorld(ExecutableFolder()).c_str());
  gtk_widget_set_name(world, "text");
  GtkWidget* quit = gtk_button_new_with_label("Quit");
  gtk_widget_set_halign(quit, GTK_ALIGN_CENTER);
  g_signal_connect_swapped(quit, "clicked", G_CALLBACK(gtk_widget_destroy), window);
  gtk_box_pack_start(GTK_BOX(box), title, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), text, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), world, FALSE, FALSE, 0);
  gtk_box_pack_start(GTK_BOX(box), quit, FALSE, FALSE, 0);
  gtk_container_add(GTK_CONTAINER(window), box);
  gtk_widget_show_all(window);
  g_idle_add(WriteMarker, &game);
  if (const char* seconds = std::getenv("BRIMTALE_DEMO_GAME_SECONDS")) {
    const int count = std::atoi(seconds);
    if (count > 0) g_timeout_add_seconds(static_cast<guint>(count), [](gpointer data) -> gboolean {
      gtk_widget_destroy(GTK_WIDGET(data));
      return G_SOURCE_REMOVE;
    }, window);
  }
  gtk_main();
  return 0;
}
