// Gazetteer search benchmarks over one large index file (about 110 MB of
// street records made here, in a temporary device root, and removed after),
// with and without its side index.
//
//   BM_SearchIndexRare     SearchIndex for a name that occurs once, near the end,
//                          scanning the mapped file (side files ignored), with
//                          the guard that ends the scan if the file shrinks
//   BM_PreadBlocksRare     the other way to survive a shrinking file: the same
//                          bytes looked for in the file read with pread in
//                          blocks of 1 MiB (overlapping by the text's length)
//   BM_MemmemRare          a bare memmem for the same bytes over the same
//                          mapping, held open (the floor for the line above)
//   BM_MapMemmemRare       opening, mapping and unmapping the file around that
//                          memmem, as SearchIndex does each time
//   BM_GrepRare            "grep -F -c" for the same text on the same file
//   BM_SearchIndexCommon   SearchIndex for a two-letter text found everywhere:
//                          40 matches and "more"
//   BM_MemmemPrefix        a bare memmem for the rare text over only the bytes
//                          up to the end of the 40th match of the common text
//   BM_MapUnmap            opening, mapping, touching one page and unmapping
//                          the file: the fixed cost of any search
//   BM_DialogGoRare        "Go!" of the search dialog for the rare name: the
//                          whole file searched, the list filled, columns sized,
//                          the count text set (built with the widgets library,
//                          on the offscreen platform when there is no display)
//   BM_DialogGoCommon      "Go!" for the common text: 40 rows listed
//   BM_SideIndexRare       SearchIndex for the rare name through the side index
//   BM_SideIndexCommon     the same for the common text (two letters: scanned)
//   BM_ScanWord            SearchIndex for a common word ("street"), scanning
//   BM_SideIndexWord       the same through the side index
//   BM_ExactBytesRare      the exact scan of the held mapping for the rare name
//   BM_LooseBytesMiss      the looser pass over the held mapping for the rare
//                          name typed with an accent ("zéphyr quay")
//   BM_ThenLooseScan       SearchIndexThenLoose for "Zéphyr Quay" (the exact
//                          search misses, the looser pass finds it), scanning
//   BM_ThenLooseSideIndex  the same through the side index
//   BM_BuildSideIndex      making and writing the side index of the file
//
// After the run the ratios between them are printed.

#include "gazetteer/index_search.h"
#include "gazetteer/side_index.h"
#include "platform/device_root.h"
#include "platform/file_system.h"

#include <QCoreApplication>
#ifdef VELDRA_BENCH_DIALOG
#include "gazetteer/search_dlg.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QTreeWidget>
#endif
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Benchmap");
const QString kCategory = QStringLiteral("Streets");
constexpr size_t kFileBytes = 110u << 20;
const QString kRareTyped = QStringLiteral("Zephyr Quay");
const QByteArray kRare = "zephyr quay";
const QString kCommonTyped = QStringLiteral("an");
const QString kWordTyped = QStringLiteral("street");
const QString kAccentedTyped = QString::fromUtf8("Zéphyr Quay");

// No word below holds a 'z', so the rare name is the only record that does.
const char* const kFirst[] = {
    "high",      "church",    "mill",    "station", "park",     "victoria", "king",   "queen",
    "london",    "manor",     "school",  "north",   "south",    "west",     "east",   "new",
    "green",     "chapel",    "orchard", "elm",     "oak",      "willow",   "meadow", "bridge",
    "castle",    "albert",    "george",  "stanley", "richmond", "windsor",  "grange", "highfield",
    "st john's", "st mary's", "heath",   "forest",  "river",    "canal",    "market", "abbey"};
const char* const kSecond[] = {
    "street", "road",  "lane", "avenue", "close", "way",  "drive", "gardens", "crescent", "terrace",
    "place",  "grove", "hill", "rise",   "row",   "walk", "court", "view",    "mews",     "square"};
const char* const kArea[] = {"northcombe", "eastleigh", "ashford",   "bramley",  "carlton",
                             "denholme",   "fairfield", "hatherley", "kingsley", "longford",
                             "marston",    "newbold",   "oakwood",   "radford",  "stanmore"};

// Writes the index file: realistic street records, one "!"-word name now and
// then, and the rare name in a record at 99% of the file.
bool MakeIndexFile(const QString& hostPath) {
    std::mt19937 random(19750612);
    auto pick = [&](auto& list) {
        return list[std::uniform_int_distribution<size_t>(0, std::size(list) - 1)(random)];
    };
    auto number = [&](int lo, int hi) {
        return std::uniform_int_distribution<int>(lo, hi)(random);
    };
    std::string bytes;
    bytes.reserve(kFileBytes + 256);
    bool rareWritten = false;
    char record[256];
    while (bytes.size() < kFileBytes) {
        if (!rareWritten && bytes.size() >= kFileBytes / 100 * 99) {
            bytes += "|zephyr quay|NC7 2QT|northcombe|48213|30977|#";
            rareWritten = true;
            continue;
        }
        const bool shout = number(0, 49) == 0;
        std::snprintf(record, sizeof record, "|%s %s%s|%c%c%d %d%c%c|%s|%d|%d|#", pick(kFirst),
                      pick(kSecond), shout ? "!nhs centre" : "", 'A' + number(0, 24),
                      'A' + number(0, 24), number(1, 99), number(1, 9), 'A' + number(0, 24),
                      'A' + number(0, 24), pick(kArea), number(1, 60000), number(1, 60000));
        bytes += record;
    }
    QFile file(hostPath);
    return file.open(QIODevice::WriteOnly) &&
           file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

struct CBenchData {
    QTemporaryDir dir;
    QString hostPath;
    CMappedFile mapping;
    size_t prefixBytes = 0; // up to the end of the 40th record that the common text matches
    bool ok = false;

    CBenchData() {
        if (!dir.isValid())
            return;
        SetDeviceRoot(dir.path());
        hostPath = HostPath(kFolder + "\\" + kCategory + ".idx");
        if (!QDir().mkpath(QFileInfo(hostPath).path()) || !MakeIndexFile(hostPath))
            return;
        if (!mapping.Open(kFolder + "\\" + kCategory + ".idx"))
            return;
        // Where the common search stops: the record end after its 40th match.
        const std::optional<SearchResult> common =
            SearchIndex(kFolder, kCategory, kCommonTyped, SideFiles::Ignore);
        const std::optional<SearchResult> rare =
            SearchIndex(kFolder, kCategory, kRareTyped, SideFiles::Ignore);
        if (!common || common->matches.size() != size_t(MAX_MATCHES) || !common->more || !rare ||
            rare->matches.size() != 1)
            return;
        // The side index, and the same answers through it.
        const auto began = std::chrono::steady_clock::now();
        if (!WriteSideIndex(kFolder, kCategory))
            return;
        const double build =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        const qint64 sideBytes =
            QFileInfo(HostPath(kFolder + "\\" + kCategory + SIDE_INDEX_EXTENSION)).size();
        for (const QString& typed : {kCommonTyped, kRareTyped, kWordTyped, kAccentedTyped}) {
            const auto a = SearchIndexThenLoose(kFolder, kCategory, typed, SideFiles::Ignore);
            const auto b = SearchIndexThenLoose(kFolder, kCategory, typed, SideFiles::Use);
            if (!a || !b || a->matches.size() != b->matches.size() || a->more != b->more ||
                a->loose != b->loose ||
                (!a->matches.empty() && a->matches.back().offset != b->matches.back().offset))
                return;
        }
        std::printf("side index: made and written in %.2f s, %lld bytes (%.2f x the index file)\n",
                    build, (long long)sideBytes, double(sideBytes) / double(mapping.Size()));
        const QByteArray common8 = EncodeSearchText(kCommonTyped);
        const auto* data = reinterpret_cast<const char*>(mapping.Data());
        const size_t size = size_t(mapping.Size());
        size_t start = 0;
        for (int found = 0; found < MAX_MATCHES && start < size;) {
            const void* end = memmem(data + start, size - start, "|#", 2);
            if (!end)
                return;
            const size_t next = size_t(static_cast<const char*>(end) - data) + 2;
            const char* nameEnd =
                static_cast<const char*>(memchr(data + start + 1, '|', next - start - 1));
            if (memmem(data + start + 1, size_t(nameEnd - data - start - 1), common8.constData(),
                       size_t(common8.size())))
                ++found;
            start = next;
        }
        prefixBytes = start;
        std::printf("index file: %lld bytes; the common text's 40th match ends at byte %zu\n",
                    (long long)mapping.Size(), prefixBytes);
        ok = true;
    }
};

CBenchData* g_data = nullptr;

// SearchIndex (or SearchIndexThenLoose) for typed, with or without side files.
void Search(benchmark::State& state, const QString& typed, SideFiles side, bool thenLoose = false) {
    for (auto _ : state) {
        const std::optional<SearchResult> r =
            thenLoose ? SearchIndexThenLoose(kFolder, kCategory, typed, side)
                      : SearchIndex(kFolder, kCategory, typed, side);
        benchmark::DoNotOptimize(r);
    }
}

void BM_SearchIndexRare(benchmark::State& state) {
    Search(state, kRareTyped, SideFiles::Ignore);
    state.SetBytesProcessed(int64_t(state.iterations()) * g_data->mapping.Size());
}
BENCHMARK(BM_SearchIndexRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_PreadBlocksRare(benchmark::State& state) {
    constexpr size_t kBlock = 1 << 20;
    const size_t n = size_t(kRare.size());
    std::vector<char> buffer(kBlock + n);
    for (auto _ : state) {
        CFileHandle file = OpenFileForRead(kFolder + "\\" + kCategory + ".idx");
        off_t offset = 0;
        size_t kept = 0;
        const void* hit = nullptr;
        while (!hit) {
            const ssize_t got = ::pread(file.Descriptor(), buffer.data() + kept, kBlock, offset);
            if (got <= 0)
                break;
            const size_t held = kept + size_t(got);
            hit = memmem(buffer.data(), held, kRare.constData(), n);
            offset += got;
            kept = std::min(held, n - 1);
            memmove(buffer.data(), buffer.data() + held - kept, kept);
        }
        benchmark::DoNotOptimize(hit);
    }
}
BENCHMARK(BM_PreadBlocksRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_MemmemRare(benchmark::State& state) {
    const auto* data = g_data->mapping.Data();
    const size_t size = size_t(g_data->mapping.Size());
    for (auto _ : state) {
        const void* hit = memmem(data, size, kRare.constData(), size_t(kRare.size()));
        benchmark::DoNotOptimize(hit);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * g_data->mapping.Size());
}
BENCHMARK(BM_MemmemRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_MapMemmemRare(benchmark::State& state) {
    for (auto _ : state) {
        CMappedFile file;
        if (!file.Open(kFolder + "\\" + kCategory + ".idx")) {
            state.SkipWithError("cannot map the index");
            break;
        }
        const void* hit =
            memmem(file.Data(), size_t(file.Size()), kRare.constData(), size_t(kRare.size()));
        benchmark::DoNotOptimize(hit);
    }
}
BENCHMARK(BM_MapMemmemRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_GrepRare(benchmark::State& state) {
    const QByteArray path = QFile::encodeName(g_data->hostPath);
    char grep[] = "grep";
    char fixed[] = "-F";
    char count[] = "-c";
    std::vector<char> text(kRare.begin(), kRare.end());
    text.push_back('\0');
    std::vector<char> file(path.begin(), path.end());
    file.push_back('\0');
    char* argv[] = {grep, fixed, count, text.data(), file.data(), nullptr};
    // grep compares bytes in the C locale, as the search does.
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG", 4) != 0)
            env.push_back(*e);
    char locale[] = "LC_ALL=C";
    env.push_back(locale);
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "grep", &actions, nullptr, argv, env.data()) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("grep failed");
            break;
        }
    }
    posix_spawn_file_actions_destroy(&actions);
}
BENCHMARK(BM_GrepRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(3)
    ->DisplayAggregatesOnly();

void BM_SearchIndexCommon(benchmark::State& state) {
    Search(state, kCommonTyped, SideFiles::Ignore);
}
BENCHMARK(BM_SearchIndexCommon)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_MemmemPrefix(benchmark::State& state) {
    for (auto _ : state) {
        const void* hit = memmem(g_data->mapping.Data(), g_data->prefixBytes, kRare.constData(),
                                 size_t(kRare.size()));
        benchmark::DoNotOptimize(hit);
    }
}
BENCHMARK(BM_MemmemPrefix)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_MapUnmap(benchmark::State& state) {
    for (auto _ : state) {
        CMappedFile file;
        if (!file.Open(kFolder + "\\" + kCategory + ".idx")) {
            state.SkipWithError("cannot map the index");
            break;
        }
        benchmark::DoNotOptimize(file.Data()[0]);
    }
}
BENCHMARK(BM_MapUnmap)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_SideIndexRare(benchmark::State& state) {
    Search(state, kRareTyped, SideFiles::Use);
}
void BM_SideIndexCommon(benchmark::State& state) {
    Search(state, kCommonTyped, SideFiles::Use);
}
void BM_ScanWord(benchmark::State& state) {
    Search(state, kWordTyped, SideFiles::Ignore);
}
void BM_SideIndexWord(benchmark::State& state) {
    Search(state, kWordTyped, SideFiles::Use);
}
void BM_ThenLooseScan(benchmark::State& state) {
    Search(state, kAccentedTyped, SideFiles::Ignore, true);
}
void BM_ThenLooseSideIndex(benchmark::State& state) {
    Search(state, kAccentedTyped, SideFiles::Use, true);
}
void BM_ExactBytesRare(benchmark::State& state) {
    for (auto _ : state) {
        const SearchResult r =
            SearchIndexBytes(g_data->mapping.Data(), size_t(g_data->mapping.Size()), kRare);
        benchmark::DoNotOptimize(r);
    }
}
void BM_LooseBytesMiss(benchmark::State& state) {
    const QByteArray accented = EncodeSearchText(kAccentedTyped);
    for (auto _ : state) {
        const SearchResult r =
            LooseSearchIndexBytes(g_data->mapping.Data(), size_t(g_data->mapping.Size()), accented);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_SideIndexRare)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_SideIndexCommon)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ScanWord)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_SideIndexWord)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ExactBytesRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_LooseBytesMiss)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ThenLooseScan)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ThenLooseSideIndex)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();

void BM_BuildSideIndex(benchmark::State& state) {
    for (auto _ : state)
        if (!WriteSideIndex(kFolder, kCategory))
            state.SkipWithError("cannot make the side index");
}
BENCHMARK(BM_BuildSideIndex)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1)
    ->Repetitions(3)
    ->DisplayAggregatesOnly();

#ifdef VELDRA_BENCH_DIALOG
// "Go!" pressed in the search dialog with typed in the box, over the same
// index file, as the user runs it (the dialog made and initialised once).
void DialogGo(benchmark::State& state, const QString& typed, int rows) {
    CSearchDlg dialog;
    dialog.m_strMapFolder = kFolder;
    dialog.OnInitDialog();
    if (dialog.CategoryList()->currentText() != kCategory) {
        state.SkipWithError("the dialog does not offer the category");
        return;
    }
    for (auto _ : state) {
        dialog.TextBox()->setText(typed);
        dialog.OnGo();
    }
    if (dialog.MatchList()->topLevelItemCount() != rows)
        state.SkipWithError("unexpected number of rows listed");
}
void BM_DialogGoRare(benchmark::State& state) {
    DialogGo(state, kRareTyped, 1);
}
BENCHMARK(BM_DialogGoRare)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
void BM_DialogGoCommon(benchmark::State& state) {
    DialogGo(state, kCommonTyped, MAX_MATCHES);
}
BENCHMARK(BM_DialogGoCommon)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->DisplayAggregatesOnly();
#endif

// Console output as usual (the aggregates of the repetitions), keeping each
// benchmark's median real and processor time per iteration.
class CRecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.iterations <= 0 ||
                (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median"))
                continue;
            const std::string name = run.run_name.function_name;
            m_times[name] = run.real_accumulated_time / double(run.iterations);
            m_cpu[name] = run.cpu_accumulated_time / double(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> m_times; // seconds of real time per iteration
    std::map<std::string, double> m_cpu;   // seconds of processor time per iteration
};

} // namespace

int main(int argc, char** argv) {
#ifdef VELDRA_BENCH_DIALOG
    // The dialog needs a widget application; without a display it runs offscreen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
        qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    benchmark::Initialize(&argc, argv);
    CBenchData data;
    if (!data.ok) {
        std::fprintf(stderr, "could not make the benchmark index file\n");
        return 1;
    }
    g_data = &data;
    CRecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    g_data = nullptr;

    // Real time, and processor time where the other side runs in this process
    // (the machine may be shared, which shows in real time first).
    auto ratio = [&](const char* label, const char* a, const char* b) {
        const auto x = reporter.m_times.find(a);
        const auto y = reporter.m_times.find(b);
        if (x == reporter.m_times.end() || y == reporter.m_times.end() || y->second <= 0)
            return;
        std::printf("%-46s real %7.3f (%.3f ms vs %.3f ms)", label, x->second / y->second,
                    x->second * 1e3, y->second * 1e3);
        const double cx = reporter.m_cpu[a];
        const double cy = reporter.m_cpu[b];
        if (!std::strstr(a, "Grep") && !std::strstr(b, "Grep") && cy > 0)
            std::printf("  cpu %7.3f (%.3f ms vs %.3f ms)", cx / cy, cx * 1e3, cy * 1e3);
        std::printf("\n");
    };
    ratio("SearchIndex rare / bare memmem:", "BM_SearchIndexRare", "BM_MemmemRare");
    ratio("pread in 1 MiB blocks / bare memmem:", "BM_PreadBlocksRare", "BM_MemmemRare");
    ratio("SearchIndex rare / pread in 1 MiB blocks:", "BM_SearchIndexRare", "BM_PreadBlocksRare");
    ratio("SearchIndex rare / map + memmem + unmap:", "BM_SearchIndexRare", "BM_MapMemmemRare");
    ratio("grep -F -c / bare memmem:", "BM_GrepRare", "BM_MemmemRare");
    ratio("SearchIndex rare / grep -F -c:", "BM_SearchIndexRare", "BM_GrepRare");
    ratio("SearchIndex common / memmem up to 40th match:", "BM_SearchIndexCommon",
          "BM_MemmemPrefix");
    ratio("SearchIndex common / map + unmap:", "BM_SearchIndexCommon", "BM_MapUnmap");
    ratio("SearchIndex common / SearchIndex rare:", "BM_SearchIndexCommon", "BM_SearchIndexRare");
    ratio("dialog Go! rare / SearchIndex rare:", "BM_DialogGoRare", "BM_SearchIndexRare");
    ratio("dialog Go! common / SearchIndex common:", "BM_DialogGoCommon", "BM_SearchIndexCommon");
    ratio("side index rare / scan rare:", "BM_SideIndexRare", "BM_SearchIndexRare");
    ratio("side index common / scan common:", "BM_SideIndexCommon", "BM_SearchIndexCommon");
    ratio("side index word / scan word:", "BM_SideIndexWord", "BM_ScanWord");
    ratio("loose pass / exact scan (held mapping):", "BM_LooseBytesMiss", "BM_ExactBytesRare");
    ratio("exact then loose, scanning / exact scan:", "BM_ThenLooseScan", "BM_SearchIndexRare");
    ratio("exact then loose, side index / scan:", "BM_ThenLooseSideIndex", "BM_ThenLooseScan");
    benchmark::Shutdown();
    return 0;
}
