/* unpack: extracts the kit's archives (src.tar, tools.tar).
 *
 *   unpack ARCHIVE.tar [DESTINATION]
 *
 * Reads a ustar archive and writes its regular files and folders below
 * DESTINATION (default: the current folder). Member names that are absolute,
 * carry a drive or contain a ".." step are refused, so an archive cannot
 * write outside the destination. Exit code 0 when every member was written,
 * 1 on a usage error, 2 when the archive is damaged or a member was refused
 * or could not be written. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

#define BLOCK 512

static unsigned long ParseOctal(const char* field, int width) {
  unsigned long value = 0;
  for (int i = 0; i < width && field[i] >= '0' && field[i] <= '7'; ++i) value = value * 8 + (field[i] - '0');
  return value;
}

static int IsSafeName(const char* name) {
  if (!name[0] || name[0] == '/' || name[0] == '\\' || strchr(name, ':')) return 0;
  for (const char* p = name; *p;) {
    const char* end = p + strcspn(p, "/\\");
    if (end - p == 2 && p[0] == '.' && p[1] == '.') return 0;
    p = *end ? end + 1 : end;
  }
  return 1;
}

/* Creates every folder on the way to `path` (which uses backslashes). */
static void CreateParents(char* path) {
  for (char* p = path; *p; ++p) {
    if (*p != '\\') continue;
    *p = 0;
    CreateDirectoryA(path, NULL);
    *p = '\\';
  }
}

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: unpack ARCHIVE.tar [DESTINATION]\n");
    return 1;
  }
  const char* dest = argc == 3 ? argv[2] : ".";
  FILE* in = fopen(argv[1], "rb");
  if (!in) {
    fprintf(stderr, "unpack: cannot open %s\n", argv[1]);
    return 2;
  }
  int status = 0;
  unsigned char header[BLOCK];
  while (fread(header, 1, BLOCK, in) == BLOCK && header[0]) {
    char name[256];
    char path[MAX_PATH];
    /* ustar: prefix (155 at 345) "/" name (100 at 0). */
    if (header[345])
      snprintf(name, sizeof name, "%.155s/%.100s", (char*)header + 345, (char*)header);
    else
      snprintf(name, sizeof name, "%.100s", (char*)header);
    unsigned long size = ParseOctal((char*)header + 124, 12);
    char type = (char)header[156];
    unsigned long blocks = (size + BLOCK - 1) / BLOCK;
    int fits = snprintf(path, sizeof path, "%s\\%s", dest, name) < (int)sizeof path;
    for (char* p = path; *p; ++p)
      if (*p == '/') *p = '\\';
    if (!IsSafeName(name) || !fits) {
      fprintf(stderr, "unpack: refused member %s\n", name);
      status = 2;
      fseek(in, (long)(blocks * BLOCK), SEEK_CUR);
      continue;
    }
    if (type == '5') {
      CreateParents(path);
      CreateDirectoryA(path, NULL);
      continue;
    }
    if (type != '0' && type != 0) {
      fprintf(stderr, "unpack: skipped %s (type %c)\n", name, type);
      fseek(in, (long)(blocks * BLOCK), SEEK_CUR);
      continue;
    }
    CreateParents(path);
    FILE* out = fopen(path, "wb");
    if (!out) {
      fprintf(stderr, "unpack: cannot write %s\n", path);
      status = 2;
    }
    unsigned char block[BLOCK];
    for (unsigned long left = size; left > 0;) {
      if (fread(block, 1, BLOCK, in) != BLOCK) {
        fprintf(stderr, "unpack: %s is cut short in %s\n", argv[1], name);
        if (out) fclose(out);
        fclose(in);
        return 2;
      }
      unsigned long chunk = left < BLOCK ? left : BLOCK;
      if (out && fwrite(block, 1, chunk, out) != chunk) status = 2;
      left -= chunk;
    }
    if (out && fclose(out) != 0) status = 2;
  }
  fclose(in);
  return status;
}
