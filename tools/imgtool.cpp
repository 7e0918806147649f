// imgtool: host command-line tool that makes, lists, checks and unpacks
// image files (records of a 16-byte big-endian header plus payload).
//
// Records are read with the launcher's own record reader (image.h), which
// streams payloads in fixed-size chunks so that a large image is never
// held in memory; all header words go through load_be32/store_be32 so the
// tool gives the same bytes on any host.
#include "image.h"
#include "stdio_file.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFail = 1;
constexpr int kExitUsage = 2;


const char kUsage[] =
    "usage: imgtool create OUT TYPE:VERSION:PAYLOAD [TYPE:VERSION:PAYLOAD ...]\n"
    "       imgtool list FILE\n"
    "       imgtool verify FILE\n"
    "       imgtool extract [--force] FILE INDEX|TYPE OUT\n"
    "       imgtool header TYPE VERSION LEN CRC\n"
    "       imgtool -h | --help\n"
    "\n"
    "  create   write the records in the order given; OUT appears only when\n"
    "           every record was written\n"
    "  list     one line per record: offset, type, length, version, stored CRC,\n"
    "           good or BAD; stops at an unknown type or a truncated record\n"
    "  verify   check every record and print a one-line summary\n"
    "  extract  write the payload of record INDEX (0-based) or of the first\n"
    "           record of TYPE to OUT; a bad CRC is refused unless --force\n"
    "  header   write a bare 16-byte header to stdout (for test fixtures)\n"
    "\n"
    "  TYPE     application, uboot, kernel, rfs, dft, diags or IMAGE_<NAME>,\n"
    "           any case; header also takes a number such as 0x07504754\n"
    "  VERSION  a.b.c.d, each 0..255\n"
    "  LEN, CRC decimal or 0x-prefixed hexadecimal, 0..0xffffffff\n"
    "\n"
    "exit status: 0 success, 1 failure (bad or truncated image, I/O error),\n"
    "2 bad usage\n";

int usage_error(const char *why)
{
    fprintf(stderr, "imgtool: %s\n%s", why, kUsage);
    return kExitUsage;
}

// A temporary output beside its final name; removed unless committed, so a
// failed run never leaves a partial file under the final name.
struct TempOutput {
    std::string final_path;
    std::string temp_path;
    File file;
    bool committed = false;

    ~TempOutput()
    {
        file.reset();
        if (!committed && !temp_path.empty())
            (void)unlink(temp_path.c_str());
    }
};

// ---------------------------------------------------------------- parsing

// Strict a.b.c.d: four groups of 1 to 3 digits, each at most 255, nothing
// else (no signs, blanks, empty groups or trailing text).
bool parse_version(const char *text, uint32_t *id)
{
    uint32_t word = 0;
    const char *p = text;
    for (int group = 0; group < 4; group++) {
        unsigned value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 4) {
            value = value * 10 + unsigned(*p - '0');
            digits++;
            p++;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        word = (word << 8) | value;
        char expected = group < 3 ? '.' : '\0';
        if (*p != expected)
            return false;
        if (group < 3)
            p++;
    }
    *id = word;
    return true;
}

// Unsigned 32-bit number, decimal or 0x hexadecimal, whole text.
bool parse_u32(const char *text, uint32_t *value)
{
    int base = 10;
    const char *digits = text;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        digits = text + 2;
    }
    // strtoull would accept blanks and signs; only plain digits are numbers.
    if (*digits == '\0')
        return false;
    for (const char *p = digits; *p; p++) {
        bool ok = base == 16 ? isxdigit((unsigned char)*p) != 0 : (*p >= '0' && *p <= '9');
        if (!ok)
            return false;
    }
    errno = 0;
    unsigned long long v = strtoull(digits, nullptr, base);
    if (errno != 0 || v > 0xFFFFFFFFull)
        return false;
    *value = uint32_t(v);
    return true;
}

bool all_digits(const char *text)
{
    if (*text == '\0')
        return false;
    for (const char *p = text; *p; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

bool parse_type(const char *text, uint32_t *magic)
{
    *magic = image_type_from_name(text);
    if (*magic != 0)
        return true;
    fprintf(stderr,
            "imgtool: unknown type '%s' (known: application, uboot, kernel, rfs, dft, diags)\n",
            text);
    return false;
}

bool parse_version_arg(const char *text, uint32_t *id)
{
    if (parse_version(text, id))
        return true;
    fprintf(stderr, "imgtool: bad version '%s' (want a.b.c.d, each 0..255)\n", text);
    return false;
}

// ------------------------------------------------------------------- I/O

File open_input(const char *path)
{
    File f(fopen(path, "rb"));
    if (!f)
        fprintf(stderr, "imgtool: cannot open %s: %s\n", path, strerror(errno));
    return f;
}

bool file_size(FILE *f, const char *path, uint64_t *size)
{
    struct stat st;
    if (fstat(fileno(f), &st) != 0) {
        fprintf(stderr, "imgtool: cannot stat %s: %s\n", path, strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        fprintf(stderr, "imgtool: %s is not a regular file\n", path);
        return false;
    }
    *size = uint64_t(st.st_size);
    return true;
}

// Says why bytes that the file's size promised did not all come.
void report_read_failure(FILE *f, const char *path)
{
    if (ferror(f))
        fprintf(stderr, "imgtool: cannot read %s: %s\n", path, strerror(errno));
    else
        fprintf(stderr, "imgtool: %s changed size while being read\n", path);
}

bool write_exact(TempOutput &out, const uint8_t *bytes, size_t count)
{
    if (fwrite(bytes, 1, count, out.file.get()) == count)
        return true;
    fprintf(stderr, "imgtool: cannot write %s: %s\n", out.final_path.c_str(), strerror(errno));
    return false;
}

bool open_temp_output(const char *path, TempOutput *out)
{
    // The rename would replace a device node or a link to one (/dev/stdout)
    // instead of writing through it.
    struct stat st;
    if (lstat(path, &st) == 0 && !S_ISREG(st.st_mode)) {
        fprintf(stderr, "imgtool: %s exists and is not a regular file\n", path);
        return false;
    }
    out->final_path = path;
    std::vector<char> name(out->final_path.begin(), out->final_path.end());
    const char suffix[] = ".tmpXXXXXX";
    name.insert(name.end(), suffix, suffix + sizeof suffix);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        fprintf(stderr, "imgtool: cannot create %s: %s\n", path, strerror(errno));
        return false;
    }
    out->temp_path = name.data();
    out->file.reset(fdopen(fd, "wb"));
    if (!out->file) {
        fprintf(stderr, "imgtool: cannot create %s: %s\n", path, strerror(errno));
        (void)close(fd);
        return false;
    }
    // mkstemp makes the file private; give it the mode a plain create would.
    mode_t mask = umask(0);
    umask(mask);
    (void)fchmod(fd, 0666 & ~mask);
    return true;
}

bool commit_output(TempOutput &out)
{
    FILE *f = out.file.release();
    if (fflush(f) != 0 || fsync(fileno(f)) != 0) {
        fprintf(stderr, "imgtool: cannot write %s: %s\n", out.final_path.c_str(), strerror(errno));
        (void)fclose(f);
        return false;
    }
    if (fclose(f) != 0) {
        fprintf(stderr, "imgtool: cannot write %s: %s\n", out.final_path.c_str(), strerror(errno));
        return false;
    }
    if (rename(out.temp_path.c_str(), out.final_path.c_str()) != 0) {
        fprintf(stderr, "imgtool: cannot rename to %s: %s\n", out.final_path.c_str(),
                strerror(errno));
        return false;
    }
    out.committed = true;
    return true;
}

// Runs the record's CRC over its header and the `len` payload bytes read
// from `in`, copying them to `copy` when one is given. The caller has
// already made sure the bytes are there. kRecordGood or kRecordBadCrc, with
// the CRC computed in `*crc`; kRecordCutShort after an I/O failure (said).
RecordRead stream_payload(FILE *in, const char *in_path, const RecordHead &head, uint32_t *crc,
                          TempOutput *copy)
{
    const RecordRead verdict = stream_record(in, head, copy ? copy->file.get() : nullptr, crc);
    if (verdict == kRecordNoMemory) {
        errno = ENOMEM;
        fprintf(stderr, "imgtool: cannot read %s: %s\n", in_path, strerror(errno));
        return kRecordCutShort;
    }
    if (verdict == kRecordCutShort) {
        report_read_failure(in, in_path);
        return kRecordCutShort;
    }
    if (copy && ferror(copy->file.get())) {
        fprintf(stderr, "imgtool: cannot write %s: %s\n", copy->final_path.c_str(), strerror(errno));
        return kRecordCutShort;
    }
    return verdict;
}

// ------------------------------------------------------------- scanning

enum class Scan { End, Record, TruncatedHeader, UnknownType, TruncatedRecord, IoError };

struct Record {
    uint64_t offset;
    RecordHead head;
};

// Reads the header at `offset` of a `size`-byte file and checks that the
// whole record fits; leaves the file positioned at the payload. The length
// test subtracts instead of adding so a huge `len` cannot wrap around.
Scan read_header(FILE *f, const char *path, uint64_t offset, uint64_t size, Record *rec)
{
    rec->offset = offset;
    uint64_t remaining = size - offset;
    if (remaining == 0)
        return Scan::End;
    if (remaining < IMAGE_HEADER_SIZE)
        return Scan::TruncatedHeader;
    if (fseeko(f, off_t(offset), SEEK_SET) != 0) {
        fprintf(stderr, "imgtool: cannot seek in %s: %s\n", path, strerror(errno));
        return Scan::IoError;
    }
    if (!read_record_head(f, &rec->head)) {
        report_read_failure(f, path);
        return Scan::IoError;
    }
    if (!image_type_known(rec->head.header.magic))
        return Scan::UnknownType;
    if (record_payload_to_read(rec->head.header, remaining, kRecordWhole) < 0)
        return Scan::TruncatedRecord;
    return Scan::Record;
}

uint64_t next_offset(const Record &rec)
{
    return rec.offset + IMAGE_HEADER_SIZE + rec.head.header.len;
}

// The one place that words why a scan stopped early.
void report_stop(Scan why, const char *path, const Record &rec, uint64_t size)
{
    switch (why) {
    case Scan::TruncatedHeader:
        fprintf(stderr, "imgtool: %s: truncated header at offset %" PRIu64 " (%" PRIu64
                " bytes left, a header needs 16)\n",
                path, rec.offset, size - rec.offset);
        break;
    case Scan::UnknownType:
        fprintf(stderr, "imgtool: %s: unknown type 0x%08" PRIx32 " at offset %" PRIu64 "\n", path,
                rec.head.header.magic, rec.offset);
        break;
    case Scan::TruncatedRecord:
        fprintf(stderr, "imgtool: %s: truncated record at offset %" PRIu64 " (len %" PRIu32
                ", only %" PRIu64 " payload bytes left)\n",
                path, rec.offset, rec.head.header.len, size - rec.offset - IMAGE_HEADER_SIZE);
        break;
    case Scan::End:
    case Scan::Record:
    case Scan::IoError:
        break;
    }
}

struct ImageInput {
    File file;
    uint64_t size = 0;
};

bool open_image(const char *path, ImageInput *in)
{
    in->file = open_input(path);
    return in->file && file_size(in->file.get(), path, &in->size);
}

// --------------------------------------------------------------- create

struct RecordArg {
    uint32_t magic;
    uint32_t id;
    std::string payload_path;
};

// TYPE:VERSION:PATH; the path keeps any further colons.
bool parse_record_arg(const char *text, RecordArg *arg)
{
    const char *colon1 = strchr(text, ':');
    const char *colon2 = colon1 ? strchr(colon1 + 1, ':') : nullptr;
    if (!colon2 || colon2[1] == '\0') {
        fprintf(stderr, "imgtool: bad record '%s' (want TYPE:VERSION:PAYLOAD)\n", text);
        return false;
    }
    std::string type(text, colon1);
    std::string version(colon1 + 1, colon2);
    arg->payload_path = colon2 + 1;
    return parse_type(type.c_str(), &arg->magic) && parse_version_arg(version.c_str(), &arg->id);
}

// Fills in the CRC word of the header written at `header_at`.
bool rewrite_crc(TempOutput &out, off_t header_at, const uint8_t *stored)
{
    FILE *f = out.file.get();
    if (header_at < 0 || fseeko(f, header_at, SEEK_SET) != 0) {
        fprintf(stderr, "imgtool: cannot seek in %s: %s\n", out.final_path.c_str(), strerror(errno));
        return false;
    }
    if (!write_exact(out, stored, 4))
        return false;
    if (fseeko(f, 0, SEEK_END) != 0) {
        fprintf(stderr, "imgtool: cannot seek in %s: %s\n", out.final_path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool write_record(TempOutput &out, const RecordArg &arg)
{
    const char *path = arg.payload_path.c_str();
    File in = open_input(path);
    uint64_t size = 0;
    if (!in || !file_size(in.get(), path, &size))
        return false;
    if (size > 0xFFFFFFFFull) {
        fprintf(stderr, "imgtool: %s is too large for one record (%" PRIu64 " bytes)\n", path,
                size);
        return false;
    }
    // The CRC starts with the len word, so the length must be known before
    // the payload is read; the header goes in once the CRC is known.
    ImageHeader header{0, uint32_t(size), arg.magic, arg.id};
    uint8_t stored[IMAGE_HEADER_SIZE];
    header_encode(&header, stored);
    uint32_t crc = 0;
    off_t header_at = ftello(out.file.get());
    if (!write_exact(out, stored, sizeof stored) ||
        stream_payload(in.get(), path, record_head(stored), &crc, &out) == kRecordCutShort)
        return false;
    if (fgetc(in.get()) != EOF) {
        fprintf(stderr, "imgtool: %s changed size while being read\n", path);
        return false;
    }
    store_be32(stored, crc);
    return rewrite_crc(out, header_at, stored);
}

int cmd_create(int argc, char **argv)
{
    if (argc < 2)
        return usage_error("create needs OUT and at least one TYPE:VERSION:PAYLOAD");
    // All arguments are checked before anything is written.
    std::vector<RecordArg> wanted(size_t(argc - 1));
    for (int i = 1; i < argc; i++)
        if (!parse_record_arg(argv[i], &wanted[size_t(i - 1)]))
            return kExitFail;
    TempOutput out;
    if (!open_temp_output(argv[0], &out))
        return kExitFail;
    for (const RecordArg &arg : wanted)
        if (!write_record(out, arg))
            return kExitFail;
    return commit_output(out) ? kExitOk : kExitFail;
}

// ----------------------------------------------------------------- list

void print_record_line(const Record &rec, bool good)
{
    char version[16];
    printf("%10" PRIu64 "  %-11s  %10" PRIu32 "  %-15s  0x%08" PRIx32 "  %s\n", rec.offset,
           image_type_name(rec.head.header.magic), rec.head.header.len,
           image_version_text(rec.head.header.id, version, sizeof version), rec.head.header.crc,
           good ? "good" : "BAD");
}

// Checks every record of an open image in turn. Listing prints a line per
// record and goes on past a bad CRC; otherwise the first bad CRC is
// reported and ends the walk. The number of records, or -1 when the walk
// stopped early (reason printed); `all_good` says whether every CRC matched.
int walk_records(const char *path, ImageInput &in, bool listing, bool *all_good)
{
    *all_good = true;
    int count = 0;
    Record rec;
    uint64_t offset = 0;
    for (;;) {
        Scan s = read_header(in.file.get(), path, offset, in.size, &rec);
        if (s == Scan::End)
            break;
        if (s != Scan::Record) {
            report_stop(s, path, rec, in.size);
            return -1;
        }
        uint32_t crc = 0;
        const RecordRead verdict = stream_payload(in.file.get(), path, rec.head, &crc, nullptr);
        if (verdict == kRecordCutShort)
            return -1;
        if (listing)
            print_record_line(rec, verdict == kRecordGood);
        if (verdict != kRecordGood) {
            *all_good = false;
            if (!listing) {
                fprintf(stderr,
                        "imgtool: %s: record %d at offset %" PRIu64 ": bad CRC (stored 0x%08" PRIx32
                        ", computed 0x%08" PRIx32 ")\n",
                        path, count, rec.offset, rec.head.header.crc, crc);
                return -1;
            }
        }
        count++;
        offset = next_offset(rec);
    }
    if (count == 0) {
        fprintf(stderr, "imgtool: %s: no records\n", path);
        return -1;
    }
    return count;
}

int cmd_list(int argc, char **argv)
{
    if (argc != 1)
        return usage_error("list needs exactly one FILE");
    const char *path = argv[0];
    ImageInput in;
    if (!open_image(path, &in))
        return kExitFail;
    printf("%10s  %-11s  %10s  %-15s  %-10s  %s\n", "offset", "type", "length", "version", "crc",
           "status");
    bool all_good = false;
    const int count = walk_records(path, in, true, &all_good);
    return count > 0 && all_good ? kExitOk : kExitFail;
}

// --------------------------------------------------------------- verify

int cmd_verify(int argc, char **argv)
{
    if (argc != 1)
        return usage_error("verify needs exactly one FILE");
    const char *path = argv[0];
    ImageInput in;
    if (!open_image(path, &in))
        return kExitFail;
    bool all_good = false;
    const int count = walk_records(path, in, false, &all_good);
    if (count < 0)
        return kExitFail;
    printf("%s: %d record%s, %" PRIu64 " bytes, all good\n", path, count, count == 1 ? "" : "s",
           in.size);
    return kExitOk;
}

// -------------------------------------------------------------- extract

struct Selector {
    bool by_index;
    uint64_t index;
    uint32_t magic;
};

bool parse_selector(const char *text, Selector *sel)
{
    sel->by_index = all_digits(text);
    sel->index = 0;
    sel->magic = 0;
    if (!sel->by_index)
        return parse_type(text, &sel->magic);
    errno = 0;
    sel->index = strtoull(text, nullptr, 10);
    if (errno != 0) {
        fprintf(stderr, "imgtool: bad record index '%s'\n", text);
        return false;
    }
    return true;
}

// Walks the headers up to the selected record; payloads on the way are
// skipped, not checked.
bool find_record(ImageInput &in, const char *path, const Selector &sel, const char *sel_text,
                 Record *rec)
{
    uint64_t offset = 0;
    for (uint64_t i = 0;; i++) {
        Scan s = read_header(in.file.get(), path, offset, in.size, rec);
        if (s == Scan::End) {
            fprintf(stderr, "imgtool: %s: no record %s%s\n", path, sel.by_index ? "" : "of type ",
                    sel_text);
            return false;
        }
        if (s != Scan::Record) {
            report_stop(s, path, *rec, in.size);
            return false;
        }
        if (sel.by_index ? i == sel.index : rec->head.header.magic == sel.magic)
            return true;
        offset = next_offset(*rec);
    }
}

int cmd_extract(int argc, char **argv)
{
    bool force = false;
    std::vector<char *> args;
    for (int i = 0; i < argc; i++) {
        if (strcmp(argv[i], "--force") == 0)
            force = true;
        else if (strncmp(argv[i], "--", 2) == 0)
            return usage_error("extract takes no option but --force");
        else
            args.push_back(argv[i]);
    }
    if (args.size() != 3)
        return usage_error("extract needs FILE, INDEX or TYPE, and OUT");
    const char *path = args[0];
    Selector sel;
    if (!parse_selector(args[1], &sel))
        return kExitFail;
    ImageInput in;
    Record rec;
    if (!open_image(path, &in) || !find_record(in, path, sel, args[1], &rec))
        return kExitFail;
    TempOutput out;
    if (!open_temp_output(args[2], &out))
        return kExitFail;
    uint32_t crc = 0;
    const RecordRead verdict = stream_payload(in.file.get(), path, rec.head, &crc, &out);
    if (verdict == kRecordCutShort)
        return kExitFail;
    if (verdict != kRecordGood) {
        fprintf(stderr,
                "imgtool: %s: record at offset %" PRIu64 " has a bad CRC (stored 0x%08" PRIx32
                ", computed 0x%08" PRIx32 ")%s\n",
                path, rec.offset, rec.head.header.crc, crc,
                force ? "; extracted anyway (--force)" : "; not extracted (use --force)");
        if (!force)
            return kExitFail;
    }
    return commit_output(out) ? kExitOk : kExitFail;
}

// --------------------------------------------------------------- header

// A type name or, for fixtures of unknown type, any 32-bit number.
bool parse_header_type(const char *text, uint32_t *magic)
{
    *magic = image_type_from_name(text);
    if (*magic != 0 || parse_u32(text, magic))
        return true;
    return parse_type(text, magic);
}

int cmd_header(int argc, char **argv)
{
    if (argc != 4)
        return usage_error("header needs TYPE, VERSION, LEN and CRC");
    ImageHeader header{};
    if (!parse_header_type(argv[0], &header.magic) || !parse_version_arg(argv[1], &header.id))
        return kExitFail;
    if (!parse_u32(argv[2], &header.len)) {
        fprintf(stderr, "imgtool: bad length '%s'\n", argv[2]);
        return kExitFail;
    }
    if (!parse_u32(argv[3], &header.crc)) {
        fprintf(stderr, "imgtool: bad CRC '%s'\n", argv[3]);
        return kExitFail;
    }
    uint8_t stored[IMAGE_HEADER_SIZE];
    header_encode(&header, stored);
    if (fwrite(stored, 1, sizeof stored, stdout) != sizeof stored || fflush(stdout) != 0) {
        fprintf(stderr, "imgtool: cannot write header: %s\n", strerror(errno));
        return kExitFail;
    }
    return kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage_error("no command given");
    const char *cmd = argv[1];
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            fputs(kUsage, stdout);
            return kExitOk;
        }
    }
    int rest = argc - 2;
    char **args = argv + 2;
    if (strcmp(cmd, "create") == 0)
        return cmd_create(rest, args);
    if (strcmp(cmd, "list") == 0)
        return cmd_list(rest, args);
    if (strcmp(cmd, "verify") == 0)
        return cmd_verify(rest, args);
    if (strcmp(cmd, "extract") == 0)
        return cmd_extract(rest, args);
    if (strcmp(cmd, "header") == 0)
        return cmd_header(rest, args);
    std::string why = std::string("unknown command '") + cmd + "'";
    return usage_error(why.c_str());
}
