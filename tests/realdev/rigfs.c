// A file server for the real-device tests: one read-only file, /disk, whose reads fail, crawl or
// hang where its rules say, for a loop device to turn into a failing drive. Run it single-threaded
// and with direct_io, so that every read of the device reaches it in turn.
//
//   rigfs RULES MOUNTPOINT [fuse options]
//
// RULES holds one rule a line, in bytes: "size N", "unreadable FIRST LENGTH" (reads touching it
// fail with EIO), "slow FIRST LENGTH MS" (MS milliseconds more per MiB of a read inside it),
// "hang FIRST LENGTH" (a read touching it waits for the next SIGUSR1, then reads as usual),
// "timeout FIRST LENGTH" (a read touching it fails with ETIMEDOUT after a second, as a drive that
// stopped answering: the loop device hands that on as a timeout), "image PATH" (the file reads as
// that disk image, of its size unless "size" says otherwise; as zeros without one). "hanging at
// OFFSET" on stderr says that a read waits.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include <fuse_lowlevel.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef unsigned long long Bytes;
struct Rule {
    char kind[16];
    Bytes first, length, ms;
};
static struct Rule rules[64];
static int ruleCount;
static Bytes fileSize;
static int image = -1;
static volatile sig_atomic_t releases;

static void Release(int signal) { releases += signal != 0; }

static int Getattr(const char* path, struct stat* st, struct fuse_file_info* fi)
{
    (void)fi;
    memset(st, 0, sizeof(*st));
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, "/disk") != 0) return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = (off_t)fileSize;
    return 0;
}

static int Readdir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset, struct fuse_file_info* fi,
                   enum fuse_readdir_flags flags)
{
    (void)offset, (void)fi, (void)flags;
    if (strcmp(path, "/") != 0) return -ENOENT;
    fill(buffer, ".", NULL, 0, 0);
    fill(buffer, "..", NULL, 0, 0);
    fill(buffer, "disk", NULL, 0, 0);
    return 0;
}

static int Open(const char* path, struct fuse_file_info* fi)
{
    if (strcmp(path, "/disk") != 0) return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    fi->direct_io = 1;
    return 0;
}

static int Read(const char* path, char* buffer, size_t size, off_t at, struct fuse_file_info* fi)
{
    (void)path, (void)fi;
    const Bytes offset = (Bytes)at;
    if (offset >= fileSize) return 0;
    if (size > fileSize - offset) size = fileSize - offset;
    const Bytes end = offset + size;
    Bytes delayMs = 0;
    int failed = 0, timedOut = 0;
    for (int i = 0; i < ruleCount; ++i) {
        const struct Rule* rule = &rules[i];
        const Bytes first = rule->first > offset ? rule->first : offset;
        const Bytes last = rule->first + rule->length < end ? rule->first + rule->length : end;
        if (first >= last) continue;
        if (strcmp(rule->kind, "hang") == 0) {
            const sig_atomic_t before = releases;
            fprintf(stderr, "hanging at %llu\n", offset);
            struct fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
            while (releases == before && !fuse_session_exited(session)) usleep(20000);
            if (releases == before) return -EIO; // the server is ending
        }
        if (strcmp(rule->kind, "slow") == 0) delayMs += rule->ms * (last - first) / 1048576;
        failed |= strcmp(rule->kind, "unreadable") == 0;
        timedOut |= strcmp(rule->kind, "timeout") == 0;
    }
    if (timedOut) delayMs += 1000;
    const struct timespec delay = {(time_t)(delayMs / 1000), (long)(delayMs % 1000) * 1000000};
    while (delayMs && nanosleep(&delay, NULL) != 0 && errno == EINTR) {}
    if (timedOut) return -ETIMEDOUT;
    if (failed) return -EIO;
    memset(buffer, 0, size);
    for (Bytes got = 0; image >= 0 && got < size;) {
        const ssize_t part = pread(image, buffer + got, size - got, (off_t)(offset + got));
        if (part < 0 && errno != EINTR) return -errno;
        if (part == 0) break; // past the image's end: zeros
        got += part > 0 ? (Bytes)part : 0;
    }
    return (int)size;
}

int main(int argc, char** argv)
{
    FILE* file = argc > 2 ? fopen(argv[1], "r") : NULL;
    if (!file) {
        fprintf(stderr, "usage: rigfs RULES MOUNTPOINT [fuse options]\n");
        return 2;
    }
    char line[256];
    while (fgets(line, sizeof(line), file) && ruleCount < 64) {
        struct Rule* rule = &rules[ruleCount];
        const int fields = sscanf(line, "%15s %llu %llu %llu", rule->kind, &rule->first, &rule->length, &rule->ms);
        if (strncmp(line, "image ", 6) == 0) {
            line[strcspn(line, "\n")] = 0;
            image = open(line + 6, O_RDONLY | O_CLOEXEC);
            const off_t end = image >= 0 ? lseek(image, 0, SEEK_END) : -1;
            if (end < 0) {
                fprintf(stderr, "rigfs: cannot read the image %s\n", line + 6);
                return 2;
            }
            if (fileSize == 0) fileSize = (Bytes)end;
        } else if (fields >= 2 && strcmp(rule->kind, "size") == 0) {
            fileSize = rule->first;
        } else if (fields >= 3) {
            ++ruleCount;
        }
    }
    fclose(file);
    signal(SIGUSR1, Release);
    static const struct fuse_operations operations = {
        .getattr = Getattr, .readdir = Readdir, .open = Open, .read = Read};
    argv[1] = argv[0];
    return fuse_main(argc - 1, argv + 1, &operations, NULL);
}
