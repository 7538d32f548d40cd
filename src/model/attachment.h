#pragma once

#include <QString>

// The file a message carries, as the server describes its upload. A message whose "file" is
// not an object still has an attachment, with nothing known of it but that it exists.
struct Attachment {
    // Server path of the upload; empty while a local file is still being uploaded.
    QString url;
    QString name;
    qint64 size = 0;
    // Sniffed by the server from the content, never guessed from the name.
    QString mime;
    int width = 0;
    int height = 0;

    // A picture the client shows itself; anything else (SVG among them) is only downloaded.
    bool isPicture() const;
};

// "12 KB", "3.4 MB": a file's size as the strip and the file rows show it.
QString formattedSize(qint64 bytes);
