// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// The window's hot paths on the real MainWindow (offscreen platform): one layout pass, a storm
// of size changes through the event loop, and a query press up to both navigations issued.
#include "app/mainwindow.h"
#include "app/state.h"
#include "layout/layout.h"
#include "query/query.h"
#include "toolkit/handles.h"
#include "toolkit/runtime.h"
#include "toolkit/window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

QWidget* mainWindow = nullptr;

QWidget* Control(const char* name) {
    return WidgetOf(FindWindowNamed(name));
}

// One ApplyLayout pass, without painting. The recorded design width alternates so that every
// pass really moves and sizes each window, as a size change would.
void BM_ApplyLayout(benchmark::State& state) {
    mainWindow->setUpdatesEnabled(false);
    const std::int32_t design = DesignClientSize->right;
    bool wide = false;
    for (auto _ : state) {
        DesignClientSize->right = (wide = !wide) ? design + 100 : design;
        ApplyLayout();
    }
    DesignClientSize->right = design;
    ApplyLayout();
    mainWindow->setUpdatesEnabled(true);
    state.counters["records"] = static_cast<double>(childLayoutList->size());
}
BENCHMARK(BM_ApplyLayout);

// 1,000 real size changes, each delivered and handled through the event loop; the counters
// compare the time per change of the first hundred with the last hundred.
void BM_ResizeStorm(benchmark::State& state) {
    constexpr int changes = 1000;
    double first = 0, last = 0;
    for (auto _ : state) {
        QElapsedTimer timer;
        for (int i = 0; i < changes; ++i) {
            timer.start();
            mainWindow->resize(700 + (i % 2 ? 300 : 0) + i % 97, 450 + i % 89);
            QCoreApplication::processEvents();
            const double ns = static_cast<double>(timer.nsecsElapsed());
            if (i < 100) first += ns;
            if (i >= changes - 100) last += ns;
        }
    }
    const double rounds = static_cast<double>(state.iterations()) * 100;
    state.counters["first100_us_per_change"] = first / rounds / 1000;
    state.counters["last100_us_per_change"] = last / rounds / 1000;
    state.SetItemsProcessed(state.iterations() * changes);
    mainWindow->resize(934, 588);
    QCoreApplication::processEvents();
}
BENCHMARK(BM_ResizeStorm)->Unit(benchmark::kMillisecond)->Iterations(3);

// From the press to both navigations issued: read, encode, join, hand both URLs to the views.
void BM_QueryPress(benchmark::State& state) {
    auto* box = static_cast<QLineEdit*>(Control("编辑框查询"));
    box->setText(state.range(0) == 0 ? QStringLiteral("洪荒之力")
                                     : QString(static_cast<qsizetype>(state.range(0)), u'荒'));
    for (auto _ : state) {
        RunQuery(QueryKind::Similar);
        // Let the views take up the navigations so that each press starts from the same state.
        state.PauseTiming();
        QCoreApplication::processEvents();
        state.ResumeTiming();
    }
    state.counters["url_bytes"] = static_cast<double>(
        BuildRequestUrl(QueryKind::Similar, QueryPage::List, *encodedKeyword).size());
}
BENCHMARK(BM_QueryPress)->Arg(0)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    benchmark::Initialize(&argc, argv);
    InitialiseToolkit();
    CreateProgramState();
    mainWindow = WidgetOf(CreateWindowFromDescription(mainWindowDescription));
    benchmark::RunSpecifiedBenchmarks();
    delete mainWindow;
    ReleaseProgramState();
    ShutdownToolkit();
    benchmark::Shutdown();
    return 0;
}
