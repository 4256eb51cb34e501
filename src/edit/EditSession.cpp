#include "edit/EditSession.h"
#include "core/Prompter.h"

bool EditSession::confirmDiscard(Prompter &prompter)
{
    // Only pending edits are worth the question.
    if (m_pending == 0)
        return true;
    if (!prompter.askYesNo(QStringLiteral("Cancel current changes?"), MsgIcon::Question))
        return false;
    clear();
    return true;
}

void EditSession::clear()
{
    m_pending = 0;
    emit cleared();
}
