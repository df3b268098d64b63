#include "app/failure_reasons.h"

#include <array>

#include <QtCore/QCoreApplication>
#include <QtCore/QRegularExpression>

namespace ambrel::app {

namespace {

// One reason of the conversion: the whole English text as a pattern, and the
// window's text with %1, %2, ... for the pattern's captures, in order.
struct KnownReason
{
    const char* pattern;
    const char* text;
};

// Longer patterns before the shorter ones they start with.
constexpr std::array kReasons{
    KnownReason{R"(the file is empty)", QT_TRANSLATE_NOOP("FailureReason", "文件是空的")},
    KnownReason{R"(not a HEIF file)", QT_TRANSLATE_NOOP("FailureReason", "不是 HEIF 文件")},
    KnownReason{R"(cannot open the file: (.+))", QT_TRANSLATE_NOOP("FailureReason", "无法打开文件：%1")},
    KnownReason{R"(cannot read the file: (.+))", QT_TRANSLATE_NOOP("FailureReason", "无法读取文件：%1")},
    KnownReason{R"(a folder, not a file)", QT_TRANSLATE_NOOP("FailureReason", "这是文件夹，不是文件")},
    KnownReason{R"(not a regular file)", QT_TRANSLATE_NOOP("FailureReason", "不是普通文件")},
    KnownReason{R"(out of memory)", QT_TRANSLATE_NOOP("FailureReason", "内存不足")},
    KnownReason{R"(out of memory while reading the file)", QT_TRANSLATE_NOOP("FailureReason", "读取文件时内存不足")},
    KnownReason{R"(out of memory while decoding the image)", QT_TRANSLATE_NOOP("FailureReason", "解码图像时内存不足")},
    KnownReason{R"(out of memory while making the picture)", QT_TRANSLATE_NOOP("FailureReason", "生成图片时内存不足")},
    KnownReason{R"(cannot read the HEIF structure)", QT_TRANSLATE_NOOP("FailureReason", "无法读取 HEIF 结构")},
    KnownReason{R"(cannot read the HEIF structure: (.+))",
                QT_TRANSLATE_NOOP("FailureReason", "无法读取 HEIF 结构：%1")},
    KnownReason{R"(the file holds no images \(it has no 'meta' box\))",
                QT_TRANSLATE_NOOP("FailureReason", "文件中没有图像（没有 'meta' 盒）")},
    KnownReason{R"(the file names no primary image \(it has no 'pitm' box\))",
                QT_TRANSLATE_NOOP("FailureReason", "文件没有指明主图像（没有 'pitm' 盒）")},
    KnownReason{R"(the primary item (\S+) does not exist)", QT_TRANSLATE_NOOP("FailureReason", "主图像项 %1 不存在")},
    KnownReason{R"(the image is (\d+) pixels \((\d+) x (\d+)\), more than the limit of (\d+))",
                QT_TRANSLATE_NOOP("FailureReason", "图像有 %1 像素（%2 x %3），超过 %4 的上限")},
    KnownReason{R"(the file is cut short: (.+))", QT_TRANSLATE_NOOP("FailureReason", "文件不完整：%1")},
    KnownReason{R"(the file is cut short: its last box reaches past the end of the file)",
                QT_TRANSLATE_NOOP("FailureReason", "文件不完整：最后一个盒超出了文件末尾")},
    KnownReason{R"(the HEVC decoder failed)", QT_TRANSLATE_NOOP("FailureReason", "HEVC 解码失败")},
    KnownReason{R"(the HEVC decoder failed: (.+))", QT_TRANSLATE_NOOP("FailureReason", "HEVC 解码失败：%1")},
    KnownReason{R"(the image data cannot be decoded)", QT_TRANSLATE_NOOP("FailureReason", "图像数据无法解码")},
    KnownReason{R"(none of the (\d+) tiles can be decoded)", QT_TRANSLATE_NOOP("FailureReason", "%1 个图块都无法解码")},
    KnownReason{R"(the tiles of the grid differ in size)", QT_TRANSLATE_NOOP("FailureReason", "网格中的图块大小不一")},
    KnownReason{R"(the decoded tiles would hold more than (\d+) pixels)",
                QT_TRANSLATE_NOOP("FailureReason", "解码后的图块将超过 %1 像素")},
    KnownReason{R"(the picture cannot be made: (.+))", QT_TRANSLATE_NOOP("FailureReason", "无法生成图片：%1")},
    KnownReason{R"(the conversion failed)", QT_TRANSLATE_NOOP("FailureReason", "转换失败")},
    KnownReason{R"(the conversion failed: (.+))", QT_TRANSLATE_NOOP("FailureReason", "转换失败：%1")},
    KnownReason{R"(cannot create the folder (.+): ([^:]+))",
                QT_TRANSLATE_NOOP("FailureReason", "无法创建文件夹 %1：%2")},
    KnownReason{R"(cannot write (.+): ([^:]+))", QT_TRANSLATE_NOOP("FailureReason", "无法写入 %1：%2")},
};

// The system's texts the reasons end in most often (strerror's, as the C
// library words them without a translation of its own).
constexpr std::array kSystemTexts{
    KnownReason{"No such file or directory", QT_TRANSLATE_NOOP("FailureReason", "没有那个文件或目录")},
    KnownReason{"Permission denied", QT_TRANSLATE_NOOP("FailureReason", "权限不够")},
    KnownReason{"No space left on device", QT_TRANSLATE_NOOP("FailureReason", "设备上没有空间")},
    KnownReason{"Read-only file system", QT_TRANSLATE_NOOP("FailureReason", "只读文件系统")},
    KnownReason{"Is a directory", QT_TRANSLATE_NOOP("FailureReason", "是一个目录")},
    KnownReason{"Input/output error", QT_TRANSLATE_NOOP("FailureReason", "输入/输出错误")},
    KnownReason{"Disk quota exceeded", QT_TRANSLATE_NOOP("FailureReason", "超出磁盘限额")},
};

QString translated(const char* text)
{
    return QCoreApplication::translate("FailureReason", text);
}

QString systemText(const QString& text)
{
    for (const KnownReason& known : kSystemTexts) {
        if (text == QLatin1String(known.pattern)) {
            return translated(known.text);
        }
    }
    return text;
}

}  // namespace

QString failureReasonText(const QString& reason)
{
    static const auto patterns = [] {
        std::array<QRegularExpression, kReasons.size()> compiled;
        for (std::size_t i = 0; i < kReasons.size(); ++i) {
            compiled[i] =
                QRegularExpression(QRegularExpression::anchoredPattern(QString::fromUtf8(kReasons[i].pattern)));
        }
        return compiled;
    }();
    // The most specific match: the one that leaves the least to a capture.
    int best = -1;
    qsizetype bestCaptured = 0;
    QRegularExpressionMatch bestMatch;
    for (std::size_t i = 0; i < kReasons.size(); ++i) {
        QRegularExpressionMatch match = patterns[i].match(reason);
        if (!match.hasMatch()) {
            continue;
        }
        qsizetype captured = 0;
        for (int group = 1; group <= match.lastCapturedIndex(); ++group) {
            captured += match.capturedLength(group);
        }
        if (best < 0 || captured < bestCaptured) {
            best = static_cast<int>(i);
            bestCaptured = captured;
            bestMatch = match;
        }
    }
    if (best < 0) {
        return reason;
    }
    const QString text = translated(kReasons[static_cast<std::size_t>(best)].text);
    const int last = bestMatch.lastCapturedIndex();
    // %1, %2, ... replaced in one pass, so that a name holding "%2" stays as it is.
    QString said;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int group = i + 1 < text.size() ? text[i + 1].digitValue() : -1;
        if (text[i] == u'%' && group >= 1 && group <= last) {
            // A system text is the last part of a reason that has one.
            const QString piece = bestMatch.captured(group);
            said += group == last ? systemText(piece) : piece;
            ++i;
        } else {
            said += text[i];
        }
    }
    return said;
}

}  // namespace ambrel::app
