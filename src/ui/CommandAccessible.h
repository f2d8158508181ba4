// Command as screen readers see it: a push button named by its caption, with its access key, its
// focus and unavailable states, and a press action that clicks it.
#pragma once

class Command;
class QString;

// Installs, once, the factory that gives every Command this interface.
void InstallCommandAccessible();

// The caption as read aloud: "&" marks dropped, "&&" read as one "&".
QString CaptionWithoutMarks(const QString& caption);
