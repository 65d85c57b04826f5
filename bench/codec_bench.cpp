// The codec against the libraries callers would pick instead, on the same
// inputs in the same run: decoding a whole text character by character,
// validating it, and encoding every character back, in UTF-8 and in UTF-16
// of both byte orders. Names are "work/input/implementation"; bytes per
// second count the encoded text (UTF-8 bytes, or UTF-16 bytes).
//
// Before timing anything, every implementation's result is checked against
// ours (sums of code points, verdicts, encoded bytes): a peer that disagrees
// would not be doing the same work, and the run ends with status 1.
// With --agree-only it stops after that check.
#include <benchmark/benchmark.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>
#include <utf8.h>
#include <utf8proc.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <keymon/unicode/utf.h>

namespace {

constexpr std::size_t target_size = 1 << 20;

struct Input {
    std::string name;
    std::string utf8;                  // zero-terminated by std::string
    std::vector<std::uint32_t> chars;  // its code points
    std::vector<std::uint16_t> native, swapped;
};

void append_utf8(std::string& text, std::uint32_t c) {
    std::uint8_t bytes[4];
    const std::int32_t n = utf8_put_char(bytes, 4, c);
    text.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(n));
}

// Words of `letters` (drawn from [first, last]) between ASCII blanks and
// punctuation, as running text in that script looks.
std::string generated(std::uint32_t first, std::uint32_t last, int min_word, int max_word, bool blanks) {
    std::mt19937 random(first);
    std::string text;
    while (text.size() < target_size) {
        const int word = min_word + static_cast<int>(random() % static_cast<unsigned>(max_word - min_word + 1));
        for (int i = 0; i < word; ++i) append_utf8(text, first + random() % (last - first + 1));
        if (blanks) text += random() % 12 == 0 ? ". " : random() % 30 == 0 ? "\n" : " ";
    }
    return text;
}

// The X11 Compose table: real text in many scripts, mostly ASCII.
std::string compose_table() {
    std::ifstream file("/usr/share/X11/locale/en_US.UTF-8/Compose", std::ios::binary);
    const std::string once((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string text;
    while (!once.empty() && text.size() < target_size) text += once;
    return text;
}

// Cuts `text` to at most the target size at a character boundary.
void trim(std::string& text) {
    if (text.size() <= target_size) return;
    std::size_t end = target_size;
    while ((static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

std::vector<Input> make_inputs() {
    std::vector<Input> inputs;
    auto add = [&](const char* name, std::string text) {
        if (text.empty()) return;
        trim(text);
        Input input{name, std::move(text), {}, {}, {}};
        const auto* p = reinterpret_cast<const std::uint8_t*>(input.utf8.data());
        const auto* end = p + input.utf8.size();
        while (p < end) {
            CodePoint c = 0;
            p += utf8_get_char(&c, p, static_cast<std::uint32_t>(end - p));
            input.chars.push_back(static_cast<std::uint32_t>(c));
            std::uint16_t units[2];
            const std::int32_t n = utf16_put_char(units, 2, static_cast<std::uint32_t>(c));
            input.native.insert(input.native.end(), units, units + n);
            utf16_swapped_put_char(units, 2, static_cast<std::uint32_t>(c));
            input.swapped.insert(input.swapped.end(), units, units + n);
        }
        inputs.push_back(std::move(input));
    };
    add("ascii", generated('a', 'z', 1, 9, true));
    add("compose", compose_table());
    add("cyrillic", generated(0x430, 0x44F, 2, 10, true));
    add("cjk", generated(0x4E00, 0x9FFF, 30, 30, false));
    add("emoji", generated(0x1F600, 0x1F64F, 30, 30, false));
    return inputs;
}

// ---- decoding UTF-8, summing the values ------------------------------------

// Our readers, as their callers loop: a pointer and the units left.
template <auto Get, typename Unit>
std::uint64_t sum_ours(const Unit* p, std::uint32_t left) {
    std::uint64_t sum = 0;
    while (left > 0) {
        CodePoint c;
        const std::int32_t n = Get(&c, p, left);
        if (n <= 0) break;
        sum += static_cast<std::uint32_t>(c);
        p += n;
        left -= static_cast<std::uint32_t>(n);
    }
    return sum;
}

std::uint64_t decode_ours(const Input& in) {
    return sum_ours<utf8_get_char>(reinterpret_cast<const std::uint8_t*>(in.utf8.data()),
                                   static_cast<std::uint32_t>(in.utf8.size()));
}

std::uint64_t decode_icu(const Input& in) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(in.utf8.data());
    const auto length = static_cast<std::int32_t>(in.utf8.size());
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(s, i, length, c);
        if (c < 0) break;
        sum += static_cast<std::uint32_t>(c);
    }
    return sum;
}

std::uint64_t decode_utf8proc(const Input& in) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(in.utf8.data());
    const auto* end = p + in.utf8.size();
    std::uint64_t sum = 0;
    while (p < end) {
        utf8proc_int32_t c;
        const utf8proc_ssize_t n = utf8proc_iterate(p, end - p, &c);
        if (n <= 0) break;
        sum += static_cast<std::uint32_t>(c);
        p += n;
    }
    return sum;
}

std::uint64_t decode_utfcpp(const Input& in) {
    const char* p = in.utf8.data();
    const char* end = p + in.utf8.size();
    std::uint64_t sum = 0;
    while (p < end) sum += utf8::next(p, end);
    return sum;
}

std::uint64_t decode_mbrtowc(const Input& in) {
    const char* p = in.utf8.data();
    const char* end = p + in.utf8.size();
    std::mbstate_t state{};
    std::uint64_t sum = 0;
    while (p < end) {
        wchar_t c;
        const std::size_t n = std::mbrtowc(&c, p, static_cast<std::size_t>(end - p), &state);
        if (n == 0 || n > 4) break;
        sum += static_cast<std::uint32_t>(c);
        p += n;
    }
    return sum;
}

// ---- validating UTF-8 ------------------------------------------------------

std::uint64_t validate_ours(const Input& in) { return static_cast<std::uint64_t>(utf8_is_valid(in.utf8.c_str())); }
std::uint64_t validate_mbstowcs(const Input& in) {
    return std::mbstowcs(nullptr, in.utf8.c_str(), 0) != static_cast<std::size_t>(-1);
}
std::uint64_t validate_utfcpp(const Input& in) { return utf8::is_valid(in.utf8.begin(), in.utf8.end()); }
std::uint64_t validate_strlen(const Input& in) { return std::strlen(in.utf8.c_str()) == in.utf8.size(); }

// ---- encoding UTF-8; the result is a checksum of the bytes -----------------
//
// Two loops for our writers. The caller's loop passes the room left in the
// buffer and takes each result off it, as a caller filling a buffer does:
//     n = utf8_put_char(dst, room, c); dst += n; room -= n;
// The guaranteed-room loop passes the room the buffer guarantees before
// every character, the longest form (4 bytes, 2 units), as ICU's U8_APPEND
// and U16_APPEND callers may: those macros store a one-unit character
// without looking at the capacity. The output buffers hold every input
// re-encoded plus 16 spare units, so both loops are right; our writers
// still test the room, and the value, on every call.

std::vector<std::uint8_t> out8(target_size + 16);
std::vector<std::uint16_t> out16(target_size + 16);

std::uint64_t checksum8(std::size_t n) {
    benchmark::ClobberMemory();
    return n * 31 + out8[n / 2] + out8[n - 1];
}

// Our writers in the caller's loop; returns the units written. The room is
// kept as a size, as the buffer's is: a 32-bit count beside the pointer
// made the compiler hold each character's length in two registers.
template <auto Put, typename Unit>
std::size_t put_caller(std::vector<Unit>& out, const std::vector<std::uint32_t>& chars) {
    Unit* dst = out.data();
    std::size_t room = out.size();
    for (std::uint32_t c : chars) {
        const std::int32_t n = Put(dst, static_cast<std::uint32_t>(room), c);
        if (n < 0) break;
        dst += n;
        room -= static_cast<std::size_t>(n);
    }
    return static_cast<std::size_t>(dst - out.data());
}

// Our writers told the room for the longest form before every character.
template <auto Put, std::uint32_t room, typename Unit>
std::size_t put_guaranteed(std::vector<Unit>& out, const std::vector<std::uint32_t>& chars) {
    Unit* dst = out.data();
    for (std::uint32_t c : chars) {
        const std::int32_t n = Put(dst, room, c);
        if (n < 0) break;
        dst += n;
    }
    return static_cast<std::size_t>(dst - out.data());
}

std::uint64_t encode_ours(const Input& in) { return checksum8(put_caller<utf8_put_char>(out8, in.chars)); }
std::uint64_t encode_ours_guaranteed(const Input& in) {
    return checksum8(put_guaranteed<utf8_put_char, 4>(out8, in.chars));
}

// With `checked`, the loop also tests the room before every character, as a
// caller that may run out of room must: ICU leaves the room for a one-byte
// character to its caller ("i < capacity" is its precondition), where our
// contract tests it inside the writer. The checked loop is the same work as
// ours in the caller's loop; the unchecked one as ours told the guaranteed
// room.
template <bool checked>
std::uint64_t encode_icu(const Input& in) {
    std::uint8_t* dst = out8.data();
    const auto capacity = static_cast<std::int32_t>(out8.size());
    std::int32_t at = 0;
    UBool error = false;
    for (std::uint32_t c : in.chars) {
        if (checked && at >= capacity) break;
        U8_APPEND(dst, at, capacity, c, error);
        if (error) break;
    }
    return checksum8(static_cast<std::size_t>(at));
}

std::uint64_t encode_utf8proc(const Input& in) {
    std::uint8_t* dst = out8.data();
    std::size_t at = 0;
    for (std::uint32_t c : in.chars) {
        at += static_cast<std::size_t>(utf8proc_encode_char(static_cast<utf8proc_int32_t>(c), dst + at));
    }
    return checksum8(at);
}

std::uint64_t encode_utfcpp(const Input& in) {
    std::uint8_t* dst = out8.data();
    std::uint8_t* at = dst;
    for (std::uint32_t c : in.chars) at = utf8::append(c, at);
    return checksum8(static_cast<std::size_t>(at - dst));
}

// utf8::append takes no capacity at all: a caller that may run out of room
// keeps it and tests it before every character.
std::uint64_t encode_utfcpp_checked(const Input& in) {
    std::uint8_t* dst = out8.data();
    std::uint8_t* at = dst;
    auto room = static_cast<std::uint32_t>(out8.size());
    for (std::uint32_t c : in.chars) {
        if (room < 4) break;
        std::uint8_t* next = utf8::append(c, at);
        room -= static_cast<std::uint32_t>(next - at);
        at = next;
    }
    return checksum8(static_cast<std::size_t>(at - dst));
}

// ---- UTF-16 ----------------------------------------------------------------

template <auto Get, bool swapped>
std::uint64_t decode16_ours(const Input& in) {
    const std::vector<std::uint16_t>& units = swapped ? in.swapped : in.native;
    return sum_ours<Get>(units.data(), static_cast<std::uint32_t>(units.size()));
}

std::uint64_t icu_next16(const std::uint16_t* s, std::int32_t length) {
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < length;) {
        UChar32 c;
        U16_NEXT(s, i, length, c);
        sum += static_cast<std::uint32_t>(c);
    }
    return sum;
}

std::uint64_t decode16_icu(const Input& in) {
    return icu_next16(in.native.data(), static_cast<std::int32_t>(in.native.size()));
}

// ICU has no reader for byte-swapped units: its callers exchange the bytes
// of the whole text first, then read it in native order.
std::vector<std::uint16_t> scratch16(target_size + 16);

std::uint64_t decode16_icu_swapped(const Input& in) {
    const std::size_t n = in.swapped.size();
    for (std::size_t i = 0; i < n; ++i) scratch16[i] = __builtin_bswap16(in.swapped[i]);
    return icu_next16(scratch16.data(), static_cast<std::int32_t>(n));
}

// Swapped units are read back in native order, so all writers agree.
std::uint64_t checksum16(std::size_t n, bool swapped = false) {
    benchmark::ClobberMemory();
    auto at = [&](std::size_t i) -> std::uint32_t {
        return swapped ? __builtin_bswap16(out16[i]) : out16[i];
    };
    return n * 31 + at(n / 2) + at(n - 1);
}

template <auto Put, bool swapped>
std::uint64_t encode16_ours(const Input& in) {
    return checksum16(put_caller<Put>(out16, in.chars), swapped);
}

template <auto Put, bool swapped>
std::uint64_t encode16_ours_guaranteed(const Input& in) {
    return checksum16(put_guaranteed<Put, 2>(out16, in.chars), swapped);
}

// With `checked`, the loop also refuses a surrogate value and tests the
// room before every character: U16_APPEND stores any value up to 0xFFFF,
// surrogates too, without looking at the room, where our contract makes both
// tests inside the writer. As for UTF-8, checked is the same work as our
// caller's loop, unchecked as our guaranteed-room loop.
template <bool checked>
std::int32_t icu_append16(const Input& in) {
    std::uint16_t* dst = out16.data();
    const auto capacity = static_cast<std::int32_t>(out16.size());
    std::int32_t at = 0;
    UBool error = false;
    for (std::uint32_t c : in.chars) {
        if (checked && (at >= capacity || U_IS_SURROGATE(c))) break;
        U16_APPEND(dst, at, capacity, c, error);
        if (error) break;
    }
    return at;
}

template <bool checked>
std::uint64_t encode16_icu(const Input& in) {
    return checksum16(static_cast<std::size_t>(icu_append16<checked>(in)));
}

// Written in native order, then every unit's bytes exchanged.
template <bool checked>
std::uint64_t encode16_icu_swapped(const Input& in) {
    const auto n = static_cast<std::size_t>(icu_append16<checked>(in));
    for (std::size_t i = 0; i < n; ++i) out16[i] = __builtin_bswap16(out16[i]);
    return checksum16(n, true);
}

// ---- registration ----------------------------------------------------------

using Work = std::uint64_t (*)(const Input&);

struct Contender {
    const char* name;
    Work work;
};

struct Task {
    const char* name;
    bool utf16;  // bytes counted as UTF-16
    std::vector<Contender> contenders;  // ours first; the rest must agree with it
};

// No peer reads or writes byte-swapped units a character at a time: the
// swapped routines meet ICU with a pass that exchanges the bytes of the whole
// text, and, as a reference that does less work, ICU on native-order text
// ("icu-native"). Each writer row sets loops that do the same work side by
// side: in the caller's loop (the room left, tested for every character)
// the peers test the room before every character; in the guaranteed-room
// loop they do not. References are shown beside the peers, not counted
// among them: "icu-native", "strlen" (the floor of any validator), and, in
// the caller's-loop rows, the "-unchecked" loops, which skip the room test
// for one-unit characters.
const std::vector<Task> tasks = {
    {"utf8_get_char", false,
     {{"ours", decode_ours}, {"icu", decode_icu}, {"utf8proc", decode_utf8proc}, {"utfcpp", decode_utfcpp},
      {"glibc", decode_mbrtowc}}},
    {"utf8_is_valid", false,
     {{"ours", validate_ours}, {"glibc", validate_mbstowcs}, {"utfcpp", validate_utfcpp}, {"strlen", validate_strlen}}},
    {"utf8_put_char", false,
     {{"ours", encode_ours}, {"icu", encode_icu<true>}, {"utfcpp", encode_utfcpp_checked},
      {"icu-unchecked", encode_icu<false>}, {"utfcpp-unchecked", encode_utfcpp}}},
    {"utf8_put_char.guaranteed", false,
     {{"ours", encode_ours_guaranteed}, {"icu", encode_icu<false>}, {"utf8proc", encode_utf8proc},
      {"utfcpp", encode_utfcpp}}},
    {"utf16_get_char", true, {{"ours", decode16_ours<utf16_get_char, false>}, {"icu", decode16_icu}}},
    {"utf16_swapped_get_char", true,
     {{"ours", decode16_ours<utf16_swapped_get_char, true>}, {"icu+swap", decode16_icu_swapped},
      {"icu-native", decode16_icu}}},
    {"utf16_put_char", true,
     {{"ours", encode16_ours<utf16_put_char, false>}, {"icu", encode16_icu<true>}, {"icu-unchecked", encode16_icu<false>}}},
    {"utf16_put_char.guaranteed", true,
     {{"ours", encode16_ours_guaranteed<utf16_put_char, false>}, {"icu", encode16_icu<false>}}},
    {"utf16_swapped_put_char", true,
     {{"ours", encode16_ours<utf16_swapped_put_char, true>}, {"icu+swap", encode16_icu_swapped<true>},
      {"icu-native", encode16_icu<true>}}},
    {"utf16_swapped_put_char.guaranteed", true,
     {{"ours", encode16_ours_guaranteed<utf16_swapped_put_char, true>}, {"icu+swap", encode16_icu_swapped<false>},
      {"icu-native", encode16_icu<false>}}},
};

}  // namespace

int main(int argc, char** argv) {
    if (!std::setlocale(LC_ALL, "C.UTF-8")) {
        std::fprintf(stderr, "the C.UTF-8 locale is missing\n");
        return 1;
    }
    static const std::vector<Input> inputs = make_inputs();
    bool agree = true;
    for (const Task& task : tasks) {
        for (const Input& in : inputs) {
            const std::uint64_t want = task.contenders[0].work(in);
            for (const Contender& c : task.contenders) {
                if (c.work(in) != want) {
                    std::fprintf(stderr, "%s/%s/%s disagrees with the codec\n", task.name, in.name.c_str(), c.name);
                    agree = false;
                }
            }
            for (const Contender& c : task.contenders) {
                const std::string name = std::string(task.name) + "/" + in.name + "/" + c.name;
                const std::size_t bytes = task.utf16 ? in.native.size() * 2 : in.utf8.size();
                benchmark::RegisterBenchmark(name.c_str(), [&in, &c, bytes](benchmark::State& state) {
                    for (auto _ : state) benchmark::DoNotOptimize(c.work(in));
                    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
                });
            }
        }
    }
    if (!agree) return 1;
    if (argc > 1 && std::strcmp(argv[1], "--agree-only") == 0) return 0;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
