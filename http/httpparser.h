#pragma once

#include "http/httprequest.h"

#include <QByteArrayView>

// Reads request heads as their bytes arrive, each byte once: its state says where in the head
// it stands, so a head that comes in many pieces is never scanned again from its start.
//
// What it accepts (RFC 9112), decided once here:
// - Empty lines (CR LF or a lone LF) before a request line are skipped (section 2.2).
// - request-line = method SP request-target SP HTTP-version CR LF, exactly one SP between the
//   parts (section 3); method a token; the target visible ASCII only (anything else travels
//   percent-encoded), in origin form ("/path?query") or absolute form ("http://host/path",
//   section 3.2.2; its authority stands for Host, which must still be there on HTTP/1.1).
// - Versions HTTP/1.0 and HTTP/1.1; any other "HTTP/d.d" is 505, anything else 400.
// - Every line ends in CR LF: a bare LF, a CR not followed by LF (CR CR LF included) is 400,
//   so no two parsers on the way can disagree on where a line, or the head, ends (section 2.2).
// - field-line = field-name ":" OWS field-value OWS: no blank before the colon (section 5.1),
//   no line folding (section 5.2), values of visible ASCII, SP, HTAB and bytes from 0x80 only:
//   NUL, DEL and every other control character are 400 (section 5.5).
// - HTTP/1.1 needs exactly one Host field, and it must be a host with an optional port
//   (section 3.2); HTTP/1.0 may leave it out.
// - No body is taken: a Content-Length other than 0 or any Transfer-Encoding is 413; a
//   Content-Length that is not one decimal number, or two of them, is 400 (section 6.3).
// - The head, empty lines before it included, is at most MaxHeadBytes (431 beyond) and has at
//   most MaxFields fields (431).
// A failed head ends the connection after its answer: what follows cannot be trusted to start
// a request.
class HttpParser
{
public:
    static constexpr qsizetype MaxHeadBytes = 8 * 1024;
    static constexpr qsizetype MaxFields = 100;

    enum class State {
        BeforeRequestLine, // skipping empty lines
        Method,
        Target,
        Version,
        RequestLineEnd, // CR seen, LF due
        FieldStart,
        FieldName,
        BeforeValue, // OWS after the colon
        FieldValue,
        FieldLineEnd, // CR seen, LF due
        HeadEnd,      // CR of the empty line seen, LF due
        Complete,
        Failed,
    };

    State state() const { return m_state; }
    // Reads from `data` up to the end of the head under way (Complete), up to its first fault
    // (Failed), or all of it (more is needed); returns how many bytes it took.
    qsizetype feed(QByteArrayView data);
    // The head read (Complete or Failed), and the parser ready for the next one.
    HttpRequest takeRequest();
    // Whether a head has begun (beyond empty lines).
    bool isInsideHead() const { return m_state != State::BeforeRequestLine; }

private:
    bool step(char c, qsizetype at);
    bool endVersion(qsizetype at);
    bool endField();
    bool endHead();
    bool checkTarget();
    bool checkBody();
    bool fail(int status, const QString &text);

    State m_state = State::BeforeRequestLine;
    // The head being read; its bytes so far in m_request.m_head.
    HttpRequest m_request;
    // Where the part being read starts in the head.
    qsizetype m_mark = 0;
    // One past the last byte of the field value being read that is not blank.
    qsizetype m_value_end = 0;
};
