// A full scanner-settings save is some 3,000 RegSetValueExA calls on one open
// key. This measures that save against two peers in the same run: the same
// bytes written with fwrite+fflush per value (the floor for a durable-ish
// append), and a bare SQLite insert loop with one transaction per row in the
// same WAL/NORMAL set-up (the floor for the storage the registry uses).
#include "platform/win32.h"
#include "support/TempRoot.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kValuesPerSave = 3000;

struct SettingValue {
    std::string name;
    DWORD type;
    std::string bytes;
};

// Mixed as the scanner settings are: numbers mostly, texts of a few sizes.
std::vector<SettingValue> MakeSettings() {
    std::vector<SettingValue> values;
    for (int i = 0; i < kValuesPerSave; ++i) {
        SettingValue v;
        v.name = "SMTP_SETTING_" + std::to_string(i);
        if (i % 3 == 0) {
            v.type = REG_SZ;
            v.bytes.assign(static_cast<size_t>(16 + (i % 7) * 40), static_cast<char>('a' + i % 26));
            v.bytes.push_back('\0');
        } else {
            v.type = REG_DWORD;
            DWORD n = static_cast<DWORD>(i * 2654435761u);
            v.bytes.assign(reinterpret_cast<const char*>(&n), sizeof(n));
        }
        values.push_back(std::move(v));
    }
    return values;
}

double Seconds(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double FwritePeer(const std::string& file, const std::vector<SettingValue>& values) {
    auto start = std::chrono::steady_clock::now();
    FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return -1;
    for (const SettingValue& v : values) {
        std::fwrite(v.name.data(), 1, v.name.size() + 1, f);
        std::fwrite(&v.type, sizeof(v.type), 1, f);
        std::fwrite(v.bytes.data(), 1, v.bytes.size(), f);
        std::fflush(f);
    }
    std::fclose(f);
    return Seconds(start);
}

double SqlitePeer(const std::string& file, const std::vector<SettingValue>& values) {
    sqlite3* db = nullptr;
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return -1;
    }
    sqlite3_exec(db,
                 "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;"
                 "CREATE TABLE IF NOT EXISTS v(name TEXT PRIMARY KEY, type INTEGER, data BLOB);",
                 nullptr, nullptr, nullptr);
    sqlite3_stmt* begin = nullptr;
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* commit = nullptr;
    sqlite3_prepare_v2(db, "BEGIN IMMEDIATE", -1, &begin, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO v VALUES(?, ?, ?) ON CONFLICT(name) DO UPDATE"
                       " SET type = excluded.type, data = excluded.data",
                       -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "COMMIT", -1, &commit, nullptr);
    auto start = std::chrono::steady_clock::now();
    for (const SettingValue& v : values) {
        sqlite3_step(begin);
        sqlite3_reset(begin);
        sqlite3_bind_text(insert, 1, v.name.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_int64(insert, 2, v.type);
        sqlite3_bind_blob(insert, 3, v.bytes.data(), static_cast<int>(v.bytes.size()),
                          SQLITE_STATIC);
        sqlite3_step(insert);
        sqlite3_reset(insert);
        sqlite3_step(commit);
        sqlite3_reset(commit);
    }
    double seconds = Seconds(start);
    sqlite3_finalize(begin);
    sqlite3_finalize(insert);
    sqlite3_finalize(commit);
    sqlite3_close(db);
    return seconds;
}

void BM_RegistrySettingsSave(benchmark::State& state) {
    vtest::TempRoot root;
    std::vector<SettingValue> values = MakeSettings();
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Corvane\\Ostel\\Vantry SMTP\\Drennic", 0,
                        nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        state.SkipWithError("RegCreateKeyExA failed");
        return;
    }
    double registry = 0, fwritePeer = 0, sqlitePeer = 0;
    long failures = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (const SettingValue& v : values) {
            if (RegSetValueExA(key, v.name.c_str(), 0, v.type,
                               reinterpret_cast<const BYTE*>(v.bytes.data()),
                               static_cast<DWORD>(v.bytes.size())) != ERROR_SUCCESS)
                ++failures;
        }
        double seconds = Seconds(start);
        state.SetIterationTime(seconds);
        registry += seconds;
        fwritePeer += FwritePeer(root.path() + "/peer.bin", values);
        sqlitePeer += SqlitePeer(root.path() + "/peer.db", values);
    }
    RegCloseKey(key);
    if (failures != 0) {
        state.SkipWithError("RegSetValueExA failed");
        return;
    }
    double n = static_cast<double>(state.iterations());
    state.counters["save_ms"] = 1000.0 * registry / n;
    state.counters["fwrite_peer_ms"] = 1000.0 * fwritePeer / n;
    state.counters["sqlite_peer_ms"] = 1000.0 * sqlitePeer / n;
    state.counters["ratio_vs_fwrite"] = fwritePeer > 0 ? registry / fwritePeer : 0;
    state.counters["ratio_vs_sqlite"] = sqlitePeer > 0 ? registry / sqlitePeer : 0;
    state.counters["values_per_save"] = kValuesPerSave;
}

BENCHMARK(BM_RegistrySettingsSave)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
