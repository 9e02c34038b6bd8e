#pragma once

// The replay driver of the fuzz targets when they are not built for libFuzzer: a CTest test that
// runs the committed seeds and deterministic mutations of them.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QRandomGenerator>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// Replays every file of the corpus directory given as argument, then mutations of them made
// with bytes of `alphabet`, through the fuzz target of the including file. With `controlByte`
// every mutation also gets a random first byte, for targets that read their settings from it;
// targets whose inputs are framed from the first byte on go without.
inline int replayCorpus(int argc, char **argv, const QByteArray &alphabet, bool controlByte = true)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR [ROUNDS]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? atoi(argv[2]) : 20000;
    QList<QByteArray> seeds;
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    for (const QString &name : dir.entryList(QDir::Files)) {
        QFile file(dir.filePath(name));
        if (file.open(QIODevice::ReadOnly))
            seeds << file.readAll();
    }
    if (seeds.isEmpty()) {
        fprintf(stderr, "no seeds in %s\n", argv[1]);
        return 2;
    }
    for (const QByteArray &seed : qAsConst(seeds))
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(seed.constData()),
                               size_t(seed.size()));
    QRandomGenerator random(20240607);
    for (int round = 0; round < rounds; ++round) {
        QByteArray input = seeds.at(round % seeds.size());
        const int edits = random.bounded(1, 8);
        for (int e = 0; e < edits; ++e) {
            const int pos = input.isEmpty() ? 0 : random.bounded(input.size());
            switch (random.bounded(4)) {
            case 0:
                input.insert(pos, alphabet.at(random.bounded(alphabet.size())));
                break;
            case 1:
                input.remove(pos, random.bounded(1, 4));
                break;
            case 2:
                input.insert(pos, seeds.at(random.bounded(seeds.size())));
                break;
            default:
                if (!input.isEmpty())
                    input[pos] = char(random.bounded(256));
                break;
            }
        }
        if (controlByte)
            input.prepend(char(random.bounded(256)));
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                               size_t(input.size()));
    }
    printf("%d seeds and %d mutations of them, no fault\n", int(seeds.size()), rounds);
    return 0;
}
