// Gazetteer search benchmarks over one large index file (about 110 MB of
// street records made here, in a temporary device root, and removed after).
//
//   BM_SearchIndexRare     SearchIndex for a name that occurs once, near the end
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
//
// After the run the ratios between them are printed.

#include "gazetteer/index_search.h"
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
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <random>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <vector>

extern char** environ;

namespace {

const QString kFolder = QStringLiteral("\\Veldra\\Maps\\Benchmap");
const QString kCategory = QStringLiteral("Streets");
constexpr size_t kFileBytes = 110u << 20;
const QString kRareTyped = QStringLiteral("Zephyr Quay");
const QByteArray kRare = "zephyr quay";
const QString kCommonTyped = QStringLiteral("an");

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
        const std::optional<SearchResult> common = SearchIndex(kFolder, kCategory, kCommonTyped);
        const std::optional<SearchResult> rare = SearchIndex(kFolder, kCategory, kRareTyped);
        if (!common || common->matches.size() != size_t(MAX_MATCHES) || !common->more || !rare ||
            rare->matches.size() != 1)
            return;
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

void BM_SearchIndexRare(benchmark::State& state) {
    for (auto _ : state) {
        const std::optional<SearchResult> r = SearchIndex(kFolder, kCategory, kRareTyped);
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * g_data->mapping.Size());
}
BENCHMARK(BM_SearchIndexRare)
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
    for (auto _ : state) {
        const std::optional<SearchResult> r = SearchIndex(kFolder, kCategory, kCommonTyped);
        benchmark::DoNotOptimize(r);
    }
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
    ratio("SearchIndex rare / map + memmem + unmap:", "BM_SearchIndexRare", "BM_MapMemmemRare");
    ratio("grep -F -c / bare memmem:", "BM_GrepRare", "BM_MemmemRare");
    ratio("SearchIndex rare / grep -F -c:", "BM_SearchIndexRare", "BM_GrepRare");
    ratio("SearchIndex common / memmem up to 40th match:", "BM_SearchIndexCommon",
          "BM_MemmemPrefix");
    ratio("SearchIndex common / map + unmap:", "BM_SearchIndexCommon", "BM_MapUnmap");
    ratio("SearchIndex common / SearchIndex rare:", "BM_SearchIndexCommon", "BM_SearchIndexRare");
    ratio("dialog Go! rare / SearchIndex rare:", "BM_DialogGoRare", "BM_SearchIndexRare");
    ratio("dialog Go! common / SearchIndex common:", "BM_DialogGoCommon", "BM_SearchIndexCommon");
    benchmark::Shutdown();
    return 0;
}
