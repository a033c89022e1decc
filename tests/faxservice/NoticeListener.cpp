// notice-listener FILE: the desktop's notification service of a test
// session. It takes the name org.freedesktop.Notifications on the session
// bus, creates FILE once it has it, and appends one line per notification
// shown, "app|summary|body". Ends when the bus goes away or on SIGTERM.
#include <gio/gio.h>

#include <cstdio>
#include <string>

namespace {

const char kInterface[] =
    "<node><interface name='org.freedesktop.Notifications'>"
    "<method name='Notify'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
    "<arg type='s' direction='in'/><arg type='s' direction='in'/><arg type='s' direction='in'/>"
    "<arg type='as' direction='in'/><arg type='a{sv}' direction='in'/><arg type='i' direction='in'/>"
    "<arg type='u' direction='out'/></method>"
    "</interface></node>";

std::string g_file;
guint32 g_next = 0;
GDBusNodeInfo* g_node = nullptr;
GMainLoop* g_loop = nullptr;

void Append(const std::string& line) {
  if (FILE* f = std::fopen(g_file.c_str(), "a")) {
    std::fputs(line.c_str(), f);
    std::fclose(f);
  }
}

void OnCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params,
            GDBusMethodInvocation* call, gpointer) {
  const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  guint32 replaces = 0;
  g_variant_get(params, "(&su&s&s&s@as@a{sv}i)", &app, &replaces, &icon, &summary, &body, nullptr, nullptr,
                nullptr);
  Append(std::string(app) + "|" + summary + "|" + body + "\n");
  g_dbus_method_invocation_return_value(call, g_variant_new("(u)", ++g_next));
}

void OnBus(GDBusConnection* bus, const gchar*, gpointer) {
  static const GDBusInterfaceVTable vtable{OnCall, nullptr, nullptr, {}};
  g_dbus_connection_register_object(bus, "/org/freedesktop/Notifications", g_node->interfaces[0], &vtable,
                                    nullptr, nullptr, nullptr);
}

void OnName(GDBusConnection*, const gchar*, gpointer) {
  Append("");
}

void OnLost(GDBusConnection*, const gchar*, gpointer) {
  g_main_loop_quit(g_loop);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: notice-listener FILE\n");
    return 2;
  }
  g_file = argv[1];
  g_node = g_dbus_node_info_new_for_xml(kInterface, nullptr);
  g_loop = g_main_loop_new(nullptr, FALSE);
  g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.Notifications", G_BUS_NAME_OWNER_FLAGS_NONE, OnBus,
                 OnName, OnLost, nullptr, nullptr);
  g_main_loop_run(g_loop);
  return 0;
}
