#include "searchsnippet.h"

#include <QChar>
#include <QVector>
#include <utility>

namespace
{

bool isWordCharacter(QChar c)
{
    return c.isLetterOrNumber() || c.isMark() || c.isSurrogate();
}

// Start and end of every word of `text`.
QVector<std::pair<int, int>> wordSpans(const QString &text)
{
    QVector<std::pair<int, int>> spans;
    int start = -1;
    for (int i = 0; i <= text.size(); ++i) {
        const bool inWord = i < text.size() && isWordCharacter(text.at(i));
        if (inWord && start < 0)
            start = i;
        else if (!inWord && start >= 0) {
            spans.append({ start, i });
            start = -1;
        }
    }
    return spans;
}

bool matches(const QString &word, const QStringList &words)
{
    const QString folded = foldForSearch(word);
    for (const QString &wanted : words) {
        if (folded.startsWith(wanted))
            return true;
    }
    return false;
}

} // namespace

QString foldForSearch(const QString &text)
{
    QString folded;
    const QString decomposed = text.normalized(QString::NormalizationForm_D);
    folded.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (!c.isMark())
            folded.append(c);
    }
    return folded.toCaseFolded();
}

QStringList searchWords(const QString &query)
{
    QStringList words;
    for (const auto &span : wordSpans(query)) {
        const QString word = foldForSearch(query.mid(span.first, span.second - span.first));
        if (!word.isEmpty())
            words.append(word);
    }
    return words;
}

QString searchSnippet(const QString &text, const QStringList &words, int maxChars)
{
    QString line = text;
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QVector<std::pair<int, int>> spans = wordSpans(line);
    QVector<bool> matched(spans.size(), false);
    int first = -1;
    for (int i = 0; i < spans.size(); ++i) {
        matched[i] = matches(line.mid(spans[i].first, spans[i].second - spans[i].first), words);
        if (matched[i] && first < 0)
            first = spans[i].first;
    }
    // A little of what comes before the match, from the start of a word.
    int start = 0;
    if (first > maxChars / 3) {
        start = first - maxChars / 3;
        for (const auto &span : spans) {
            if (span.first >= start) {
                start = span.first;
                break;
            }
        }
    }
    const int end = std::min<int>(line.size(), start + maxChars);
    QString html = start > 0 ? QStringLiteral("…") : QString();
    int at = start;
    for (int i = 0; i < spans.size(); ++i) {
        if (!matched[i] || spans[i].second <= start || spans[i].first >= end)
            continue;
        const int from = std::max(spans[i].first, start);
        const int to = std::min(spans[i].second, end);
        html += line.mid(at, from - at).toHtmlEscaped() + QLatin1String("<b>")
            + line.mid(from, to - from).toHtmlEscaped() + QLatin1String("</b>");
        at = to;
    }
    html += line.mid(at, end - at).toHtmlEscaped();
    if (end < line.size())
        html += QStringLiteral("…");
    return html;
}
