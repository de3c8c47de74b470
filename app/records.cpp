// CSV and JSON Lines records. Stream handles and the format are the front end's own state.
#include "app/records.h"

#include "stack/trace/trace.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

// Room for 2000 values of up to 6 characters and a blank each, with room to spare; the bound
// below is for wider value texts.
constexpr size_t maxRecordField = 2000 * 8;
// One value's text: a STRING of the most registers a read brings takes 4 a byte and 3 more.
constexpr size_t maxValueText = 4 * 2 * 127 + 3;

FILE *recordStream = nullptr;
bool textAfterRecord = false;
OutputFormat recordFormat = OutputFormat::Text;

} // namespace

// ISO 8601 in UTC with milliseconds, as 2026-12-08T09:42:33.123Z.
void recordsTimestamp(char *out, size_t size) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    const time_t seconds = time_t(ms / 1000);
    const size_t n = strftime(out, size, "%Y-%m-%dT%H:%M:%S", gmtime(&seconds));
    snprintf(out + n, size - n, ".%03dZ", int(ms % 1000));
}

namespace {

// "ok", "exception N" (decimal), "time-out", "bad frame", "transmit failed", "broadcast",
// "interrupted".
void resultText(char *out, size_t size, const RequestRecord *r) {
    static const char *const texts[] = {
        "ok",        "exception",   "time-out", "bad frame", "transmit failed",
        "broadcast", "interrupted", "late"};
    if (r->result == RequestResult::Exception)
        snprintf(out, size, "exception %d", r->exceptionCode);
    else
        snprintf(out, size, "%s", texts[int(r->result)]);
}

// RFC 4180: quoted, with quotes doubled, when it holds a comma, a quote or a line break.
void csvField(const char *text) {
    bool quote = false;
    for (const char *c = text; *c != '\0'; ++c)
        quote = quote || *c == ',' || *c == '"' || *c == '\n' || *c == '\r';
    if (!quote) {
        fputs(text, recordStream);
        return;
    }
    fputc('"', recordStream);
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '"')
            fputc('"', recordStream);
        fputc(*c, recordStream);
    }
    fputc('"', recordStream);
}

void jsonString(const char *text) {
    fputc('"', recordStream);
    for (const char *c = text; *c != '\0'; ++c) {
        const unsigned char u = static_cast<unsigned char>(*c);
        if (u == '"' || u == '\\')
            fprintf(recordStream, "\\%c", u);
        else if (u < 0x20)
            fprintf(recordStream, "\\u%04x", u);
        else
            fputc(u, recordStream);
    }
    fputc('"', recordStream);
}

// A number as it stands, unless it must stay exact; any other value text (hex, nan, inf) as a
// JSON string. A STRING's text is quoted already, with \" \\ and \xNN escapes, of which JSON
// takes the first two.
void jsonValue(const char *text, bool comma, bool number) {
    if (comma)
        fputc(',', recordStream);
    const size_t n = strlen(text);
    if (number && n > 0 && strspn(text, "-+.0123456789eE") == n && strpbrk(text, "0123456789")) {
        fputs(text, recordStream);
        return;
    }
    if (text[0] != '"') {
        jsonString(text);
        return;
    }
    for (const char *c = text; *c != '\0'; ++c) {
        if (c[0] == '\\' && c[1] == 'x') {
            fputs("\\u00", recordStream);
            ++c; // the two hex digits follow as they are
        } else if (c[0] == '\\' && c[1] != '\0') {
            fputc(*c++, recordStream);
            fputc(*c, recordStream);
        } else {
            fputc(*c, recordStream);
        }
    }
}

// The values share one field, separated by blanks, so that every row has the same columns.
void csvValues(const RequestRecord *r) {
    char field[maxRecordField], text[maxValueText];
    size_t used = 0;
    for (int32_t i = 0, width = 1; i < r->valueCount && width > 0; i += width) {
        width = recordValueText(r, i, text, sizeof text);
        // A STRING's text without the quotes it prints in, as JSON carries it.
        const bool quoted = r->type == DataType::String && text[0] == '"';
        const size_t n = strlen(text) - (quoted ? 2 : 0);
        if (width == 0 || used + n + 2 > sizeof field)
            break;
        if (i > 0)
            field[used++] = ' ';
        memcpy(field + used, text + quoted, n);
        used += n;
    }
    field[used] = '\0';
    csvField(field);
}

void writeCsv(const RequestRecord *r, const char *time, const char *start, const char *result) {
    fprintf(recordStream, "%s,%u,%u,%u,%s,", time, r->number, r->unit, r->function, start);
    csvField(result);
    fprintf(recordStream, ",%u.%03u,", r->us / 1000, r->us % 1000);
    csvValues(r);
    if (r->settings) {
        fputc(',', recordStream);
        csvField(r->settings);
        fputc(',', recordStream);
        csvField(r->identity);
    }
    fputc('\n', recordStream);
}

void jsonValues(const RequestRecord *r) {
    fputs("\"values\":[", recordStream);
    char text[maxValueText];
    // 64-bit integers as strings: a JSON reader's numbers keep 53 bits.
    const bool number = r->type != DataType::Int64 && r->type != DataType::Uint64;
    for (int32_t i = 0, width = 1; i < r->valueCount && width > 0; i += width) {
        width = recordValueText(r, i, text, sizeof text);
        if (width > 0)
            jsonValue(text, i > 0, number);
    }
    fputc(']', recordStream);
}

void writeJson(const RequestRecord *r, const char *time, const char *start, const char *result) {
    fputs("{\"time\":", recordStream);
    jsonString(time);
    fprintf(recordStream, ",\"request\":%u,\"unit\":%u,\"function\":%u,\"start\":", r->number,
            r->unit, r->function);
    jsonString(start);
    fputs(",\"result\":", recordStream);
    jsonString(result);
    fprintf(recordStream, ",\"response_ms\":%u.%03u,", r->us / 1000, r->us % 1000);
    jsonValues(r);
    if (r->settings) {
        fputs(",\"settings\":", recordStream);
        jsonString(r->settings);
        fputs(",\"identity\":", recordStream);
        jsonString(r->identity);
    }
    fputs("}\n", recordStream);
}

} // namespace

bool recordsFormatOf(const char *text, OutputFormat *format) {
    static const char *const names[] = {"TEXT", "CSV", "JSON"};
    for (int f = 0; f < 3; ++f) {
        if (strcmp(text, names[f]) == 0) {
            *format = OutputFormat(f);
            return true;
        }
    }
    return false;
}

void recordsOpen(OutputFormat format, bool scan, bool heard) {
    if (format == OutputFormat::Text)
        return;
    fflush(stdout);
    const int records = dup(fileno(stdout));
    if (records < 0)
        return;
    FILE *stream = fdopen(records, "w");
    if (!stream || dup2(fileno(stderr), fileno(stdout)) < 0) {
        if (stream)
            fclose(stream);
        else
            close(records);
        return;
    }
    recordStream = stream;
    recordFormat = format;
    if (format == OutputFormat::Csv && heard)
        fputs("time,unit,function,start,count,result,response_ms,values\n", recordStream);
    else if (format == OutputFormat::Csv)
        fputs(scan
                  ? "time,request,unit,function,start,result,response_ms,values,settings,identity\n"
                  : "time,request,unit,function,start,result,response_ms,values\n",
              recordStream);
    fflush(recordStream);
}

bool recordsReaderGone() {
    fflush(stdout);
    return ferror(stdout) || (recordStream != nullptr && ferror(recordStream));
}

void recordsWrite(const RequestRecord *record) {
    if (recordFormat == OutputFormat::Text)
        return;
    // Text and records may be read as one stream (2>&1): a record starts on a line of its own,
    // after whatever the text printed since the last (its lines end only when the next begins).
    if (traceProgress() || textAfterRecord || traceMidLine())
        fputc('\n', stdout);
    fflush(stdout);
    // A failed request prints its error line after its record.
    const RequestResult r = record->result;
    textAfterRecord = r == RequestResult::Timeout || r == RequestResult::BadFrame ||
                      r == RequestResult::TransmitFailed || r == RequestResult::Interrupted;
    char time[40];
    char start[16];
    char result[24];
    recordsTimestamp(time, sizeof time);
    snprintf(start, sizeof start, "%d%5.5d", record->refType, record->first);
    resultText(result, sizeof result, record);
    if (recordFormat == OutputFormat::Csv)
        writeCsv(record, time, start, result);
    else
        writeJson(record, time, start, result);
    fflush(recordStream);
}

void recordsWriteHeard(const HeardRecord *h) {
    if (recordFormat == OutputFormat::Text)
        return;
    fflush(stdout);
    const RequestRecord *r = h->exchange;
    const bool csv = recordFormat == OutputFormat::Csv;
    // What the line did not tell: an empty CSV field, a JSON null.
    const char *none = csv ? "" : "null";
    char time[40], unit[8], function[8], start[16], count[12], ms[16];
    recordsTimestamp(time, sizeof time);
    snprintf(unit, sizeof unit, "%u", r->unit);
    snprintf(function, sizeof function, "%u", r->function);
    snprintf(start, sizeof start, csv ? "%d%5.5d" : "\"%d%5.5d\"", r->refType, r->first);
    snprintf(count, sizeof count, "%d", h->count);
    snprintf(ms, sizeof ms, "%u.%03u", r->us / 1000, r->us % 1000);
    const char *fields[] = {h->hasUnit ? unit : none, h->hasUnit ? function : none,
                            h->hasStart ? start : none, h->hasStart ? count : none,
                            h->hasTime ? ms : none};
    if (csv) {
        fprintf(recordStream, "%s,%s,%s,%s,%s,", time, fields[0], fields[1], fields[2], fields[3]);
        csvField(h->result);
        fprintf(recordStream, ",%s,", fields[4]);
        csvValues(r);
        fputc('\n', recordStream);
    } else {
        fputs("{\"time\":", recordStream);
        jsonString(time);
        fprintf(recordStream,
                ",\"unit\":%s,\"function\":%s,\"start\":%s,\"count\":%s,\"result\":", fields[0],
                fields[1], fields[2], fields[3]);
        jsonString(h->result);
        fprintf(recordStream, ",\"response_ms\":%s,", fields[4]);
        jsonValues(r);
        fputs("}\n", recordStream);
    }
    fflush(recordStream);
}

int32_t recordValueText(const RequestRecord *r, int32_t i, char *text, size_t size) {
    text[0] = '\0';
    if (r->type == DataType::Int16 || r->type == DataType::All) {
        snprintf(text, size, "%d", r->refType == 0 ? r->values[i] != 0 : r->values[i]);
        return 1;
    }
    const int32_t left = r->valueCount - i;
    const int32_t width = r->type == DataType::String ? left : typedWidth(r->type);
    const auto *registers = reinterpret_cast<const uint16_t *>(r->values) + i;
    return typedFormat(registers, left, r->type, r->order, text, size) > 0 ? width : 0;
}
