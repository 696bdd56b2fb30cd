#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <functional>
#include <mutex>
#include <optional>

// A figure read when it is scraped, from whoever knows it (the descriptor budget, the port
// reservation, /proc): nothing to keep up to date on any hot path. Without a source the series
// is left out of the scrape rather than shown as a made-up 0.
//
// Threading: the source runs on the thread that renders the registry and must be safe there;
// setSource() and clearSource() may be called from any thread, and once clearSource() returns
// the old source is not running and will not run again (so its owner may go).
class CallbackValue
{
public:
    void setSource(std::function<double()> source);
    void clearSource() { setSource({}); }
    // None without a source.
    std::optional<double> value() const;

    void writeSamples(QByteArray &out, QByteArrayView name, QByteArrayView labels) const;

private:
    mutable std::mutex m_mutex; // guards m_source, and is held while it runs
    std::function<double()> m_source;
};
