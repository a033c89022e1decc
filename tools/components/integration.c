/* The suite's components: each library's "DllRegisterServer" installs its
 * integration for the user who runs it, "DllUnregisterServer" removes it
 * again. Both return 0 on success. One source, built once per component
 * with PELORIN_COMPONENT set:
 *
 *   1 QuorSendTo      the file managers' "Send to fax" (desktop entry,
 *                     Nautilus script, Thunar send-to entry)
 *   2 QuorIE          "Send web page as fax" for saved web pages
 *   3 Pelorin         the automation library: PelorinNewFax and
 *                     PelorinSendFax, found through
 *                     HKCU\Software\Classes\Pelorin.Application
 *   4 PelorinAddin    the mail program's integration: "fax:" links in
 *                     mails and contact cards open the Send Fax wizard
 *   5 QuorWordAddin   LibreOffice Writer's "Send as Fax" (extension)
 *   6 QuorExcelAddin  LibreOffice Calc's "Send as Fax" (extension)
 *   7 Redemption      the mail layer's store: the user's Maildir
 *
 * The programs they name are found beside the library (a build tree) or in
 * the package's bin folder (../../bin from lib/brevant). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <spawn.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

#define EXPORT __attribute__((visibility("default")))
/* Shared helpers; each component uses some of them. */
#define HELPER static __attribute__((unused))

HELPER void Join(char* out, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out, size, fmt, ap);
  va_end(ap);
}

/* The folder this library was loaded from. */
HELPER void OwnFolder(char* out, size_t size) {
  Dl_info info;
  out[0] = '\0';
  if (!dladdr((void*)&OwnFolder, &info) || !info.dli_fname) return;
  char real[PATH_MAX];
  if (!realpath(info.dli_fname, real)) snprintf(real, sizeof real, "%s", info.dli_fname);
  char* slash = strrchr(real, '/');
  if (slash) *slash = '\0';
  snprintf(out, size, "%s", real);
}

/* A program of the suite: the package's bin folder first, then beside the
 * library. */
HELPER int FindProgram(const char* name, char* out, size_t size) {
  char dir[PATH_MAX];
  OwnFolder(dir, sizeof dir);
  Join(out, size, "%s/../../bin/%s", dir, name);
  if (access(out, X_OK) == 0) return 1;
  Join(out, size, "%s/%s", dir, name);
  return access(out, X_OK) == 0;
}

/* The user's home: $HOME, else the account's (never a shared folder). */
HELPER const char* Home(void) {
  const char* home = getenv("HOME");
  if (home && *home) return home;
  const struct passwd* pw = getpwuid(geteuid());
  return pw && pw->pw_dir && *pw->pw_dir ? pw->pw_dir : "/nonexistent";
}

HELPER void DataHome(char* out, size_t size) {
  const char* x = getenv("XDG_DATA_HOME");
  if (x && *x) Join(out, size, "%s", x);
  else Join(out, size, "%s/.local/share", Home());
}

HELPER int MakeFolders(const char* path) {
  char buf[PATH_MAX];
  snprintf(buf, sizeof buf, "%s", path);
  for (char* p = buf + 1; *p; ++p) {
    if (*p != '/') continue;
    *p = '\0';
    if (mkdir(buf, 0755) != 0 && errno != EEXIST) return -1;
    *p = '/';
  }
  return mkdir(buf, 0755) == 0 || errno == EEXIST ? 0 : -1;
}

/* Writes the file whole (through a temporary name) with the given mode. */
HELPER int WriteFile(const char* path, const char* text, mode_t mode) {
  char dir[PATH_MAX], tmp[PATH_MAX];
  snprintf(dir, sizeof dir, "%s", path);
  char* slash = strrchr(dir, '/');
  if (slash) *slash = '\0';
  if (MakeFolders(dir) != 0) return -1;
  Join(tmp, sizeof tmp, "%s.%ld.tmp", path, (long)getpid());
  int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  size_t len = strlen(text);
  int ok = write(fd, text, len) == (ssize_t)len && fchmod(fd, mode) == 0 && fsync(fd) == 0;
  close(fd);
  if (!ok || rename(tmp, path) != 0) {
    unlink(tmp);
    return -1;
  }
  return 0;
}

HELPER int RemoveFile(const char* path) { return unlink(path) == 0 || errno == ENOENT ? 0 : -1; }

/* Runs a program and waits; its exit status, or -1 when it did not run. */
HELPER int Run(char* const argv[]) {
  pid_t pid;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  int rc = posix_spawnp(&pid, argv[0], &fa, NULL, argv, environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return -1;
  int status;
  while (waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/* A desktop entry of the user's applications folder. */
HELPER int WriteDesktopEntry(const char* id, const char* body) {
  char data[PATH_MAX], path[PATH_MAX];
  DataHome(data, sizeof data);
  Join(path, sizeof path, "%s/applications/%s", data, id);
  return WriteFile(path, body, 0644);
}

HELPER int RemoveDesktopEntry(const char* id) {
  char data[PATH_MAX], path[PATH_MAX];
  DataHome(data, sizeof data);
  Join(path, sizeof path, "%s/applications/%s", data, id);
  return RemoveFile(path);
}

#define kDocumentTypes                                                                              \
  "application/pdf;text/plain;text/html;image/jpeg;image/png;image/gif;image/bmp;image/tiff;"      \
  "application/rtf;application/msword;"                                                             \
  "application/vnd.openxmlformats-officedocument.wordprocessingml.document;"                        \
  "application/vnd.oasis.opendocument.text;application/vnd.ms-excel;"                               \
  "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet;"                              \
  "application/vnd.oasis.opendocument.spreadsheet;"

#if PELORIN_COMPONENT == 1 /* QuorSendTo */

static void SendToPaths(char* nautilus, char* thunar, size_t size) {
  char data[PATH_MAX];
  DataHome(data, sizeof data);
  Join(nautilus, size, "%s/nautilus/scripts/Send to fax", data);
  Join(thunar, size, "%s/Thunar/sendto/brevant-sendto.desktop", data);
}

EXPORT long DllRegisterServer(void) {
  char send[PATH_MAX], entry[PATH_MAX * 2], nautilus[PATH_MAX], thunar[PATH_MAX], script[PATH_MAX * 2];
  if (!FindProgram("brevant-send-files", send, sizeof send)) return 2;
  Join(entry, sizeof entry,
       "[Desktop Entry]\nType=Application\nName=Send to fax\nComment=Send these files as a fax\n"
       "Exec=\"%s\" %%F\nIcon=brevant-send\nTerminal=false\nNoDisplay=true\nMimeType=" kDocumentTypes "\n",
       send);
  SendToPaths(nautilus, thunar, PATH_MAX);
  /* Nautilus runs a script of its scripts folder with the chosen files. */
  Join(script, sizeof script, "#!/bin/sh\n# Send to fax (Pelorin)\nexec \"%s\" \"$@\"\n", send);
  if (WriteDesktopEntry("brevant-sendto.desktop", entry) != 0) return 1;
  if (WriteFile(nautilus, script, 0755) != 0) return 1;
  if (WriteFile(thunar, entry, 0644) != 0) return 1;
  return 0;
}

EXPORT long DllUnregisterServer(void) {
  char nautilus[PATH_MAX], thunar[PATH_MAX];
  SendToPaths(nautilus, thunar, PATH_MAX);
  long rc = RemoveDesktopEntry("brevant-sendto.desktop");
  rc |= RemoveFile(nautilus);
  rc |= RemoveFile(thunar);
  return rc ? 1 : 0;
}

#elif PELORIN_COMPONENT == 2 /* QuorIE */

EXPORT long DllRegisterServer(void) {
  char send[PATH_MAX], entry[PATH_MAX * 2];
  if (!FindProgram("brevant-send-files", send, sizeof send)) return 2;
  Join(entry, sizeof entry,
       "[Desktop Entry]\nType=Application\nName=Send web page as fax\n"
       "Comment=Send this saved web page as a fax\nExec=\"%s\" %%F\nIcon=brevant-send\nTerminal=false\n"
       "NoDisplay=true\nMimeType=text/html;application/xhtml+xml;multipart/related;application/x-mimearchive;\n",
       send);
  return WriteDesktopEntry("brevant-sendpage.desktop", entry) == 0 ? 0 : 1;
}

EXPORT long DllUnregisterServer(void) { return RemoveDesktopEntry("brevant-sendpage.desktop") == 0 ? 0 : 1; }

#elif PELORIN_COMPONENT == 3 /* Pelorin */

#define kProgId "HKCU\\Software\\Classes\\Pelorin.Application"

/* Starts the Send Fax wizard ("new") or sends without it ("sendnow") with
 * ";"-free fields: names and numbers as "#"-ended lists, files the same. */
static long RunBrevant(const char* word, const char* names, const char* numbers, const char* files) {
  char brevant[PATH_MAX], line[8192];
  if (!FindProgram("brevant", brevant, sizeof brevant)) return 2;
  Join(line, sizeof line, "%s;0;%s;%s;%s", word, names ? names : "", numbers ? numbers : "", files ? files : "");
  char* argv[] = {brevant, line, NULL};
  return Run(argv) == 0 ? 0 : 1;
}

EXPORT long PelorinNewFax(const char* names, const char* numbers, const char* files) {
  return RunBrevant("new", names, numbers, files);
}

EXPORT long PelorinSendFax(const char* names, const char* numbers, const char* files) {
  return RunBrevant("sendnow", names, numbers, files);
}

static int Reg(const char* a1, const char* a2, const char* a3, const char* a4, const char* a5,
               const char* a6, const char* a7) {
  char reg[PATH_MAX];
  if (!FindProgram("brevant-reg", reg, sizeof reg)) return -1;
  char* argv[] = {reg, (char*)a1, (char*)a2, (char*)a3, (char*)a4, (char*)a5, (char*)a6, (char*)a7, NULL};
  return Run(argv);
}

EXPORT long DllRegisterServer(void) {
  Dl_info info;
  char self[PATH_MAX];
  if (!dladdr((void*)&DllRegisterServer, &info) || !realpath(info.dli_fname, self)) return 2;
  if (Reg("add", kProgId, "-v", "Library", "-d", self, "-f") != 0) return 1;
  return Reg("add", kProgId, "-ve", "-d", "Pelorin Fax Automation", "-f", NULL) == 0 ? 0 : 1;
}

EXPORT long DllUnregisterServer(void) {
  char reg[PATH_MAX];
  if (!FindProgram("brevant-reg", reg, sizeof reg)) return 2;
  char* argv[] = {reg, "delete", kProgId, "-f", NULL};
  return Run(argv) == 0 ? 0 : 1;
}

#elif PELORIN_COMPONENT == 4 /* PelorinAddin */

EXPORT long DllRegisterServer(void) {
  char link[PATH_MAX], entry[PATH_MAX * 2];
  if (!FindProgram("brevant-fax-link", link, sizeof link)) return 2;
  Join(entry, sizeof entry,
       "[Desktop Entry]\nType=Application\nName=Send Fax\nComment=Send a fax to this number\n"
       "Exec=\"%s\" %%u\nIcon=brevant-send\nTerminal=false\nNoDisplay=true\nMimeType=x-scheme-handler/fax;\n",
       link);
  if (WriteDesktopEntry("brevant-faxlink.desktop", entry) != 0) return 1;
  /* The desktop's handler for "fax:" links: what mail programs open them with. */
  char* argv[] = {"xdg-mime", "default", "brevant-faxlink.desktop", "x-scheme-handler/fax", NULL};
  return Run(argv) == 0 ? 0 : 1;
}

EXPORT long DllUnregisterServer(void) { return RemoveDesktopEntry("brevant-faxlink.desktop") == 0 ? 0 : 1; }

#elif PELORIN_COMPONENT == 5 || PELORIN_COMPONENT == 6 /* QuorWordAddin, QuorExcelAddin */

#if PELORIN_COMPONENT == 5
#define kExtension "QuorWordAddin.oxt"
#define kIdentifier "com.norvane.pelorin.writer"
#else
#define kExtension "QuorExcelAddin.oxt"
#define kIdentifier "com.norvane.pelorin.calc"
#endif

/* LibreOffice's extension manager, for this user; root manages the
 * extensions every user shares (it may not keep extensions of its own). */
static long Unopkg(const char* action, const char* what) {
  char* argv[6];
  int n = 0;
  argv[n++] = "unopkg";
  argv[n++] = (char*)action;
  if (geteuid() == 0) argv[n++] = "--shared";
  if (strcmp(action, "add") == 0) argv[n++] = "-f";
  argv[n++] = (char*)what;
  argv[n] = NULL;
  return Run(argv) == 0 ? 0 : 1;
}

EXPORT long DllRegisterServer(void) {
  char dir[PATH_MAX], oxt[PATH_MAX];
  OwnFolder(dir, sizeof dir);
  Join(oxt, sizeof oxt, "%s/%s", dir, kExtension);
  if (access(oxt, R_OK) != 0) return 2;
  return Unopkg("add", oxt);
}

EXPORT long DllUnregisterServer(void) { return Unopkg("remove", kIdentifier); }

#elif PELORIN_COMPONENT == 7 /* Redemption */

static void MailStoreRoot(char* out, size_t size) {
  const char* m = getenv("BREVANT_MAILDIR");
  if (m && *m) Join(out, size, "%s", m);
  else Join(out, size, "%s/Maildir", Home());
}

/* The store the mail layer files into: a Maildir whose Inbox is its root. */
EXPORT long DllRegisterServer(void) {
  char root[PATH_MAX], sub[PATH_MAX];
  MailStoreRoot(root, sizeof root);
  const char* parts[] = {"cur", "new", "tmp"};
  for (int i = 0; i < 3; ++i) {
    Join(sub, sizeof sub, "%s/%s", root, parts[i]);
    if (MakeFolders(sub) != 0) return 1;
  }
  return 0;
}

/* The user's mail stays: unregistering the layer deletes nobody's mail. */
EXPORT long DllUnregisterServer(void) { return 0; }

#else
#error "PELORIN_COMPONENT names no component"
#endif
