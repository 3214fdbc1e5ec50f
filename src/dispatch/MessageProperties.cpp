#include "dispatch/MessageProperties.h"

namespace corvane {

MailProperties messageProperties(const Settings &settings, const QueuedEmail &entry, const MailProperties &previous)
{
    const AccountSettingsRecord &account = settings.AccountSettings;
    MailProperties p = previous;
    p.firstOption = 0;
    p.secondOption = 1;
    p.addressSeparator = QStringLiteral(";");
    p.smtpHost = account.SmtpServer;
    p.senderAddress = account.SenderEmail;
    p.senderName = account.SenderName;
    p.recipients = entry.Recipients;
    p.furtherTexts = QStringList(7, QString()); // five before the subject, one after the text, one after HTML
    p.subject = entry.Subject;
    p.messageText = entry.Body;
    p.html = account.UseHtml;
    p.encodingType = account.UseMime ? 0 : 1; // UseUUEncode is not consulted
    switch (account.Priority) {
    case 0:
        p.priority = 3;
        break;
    case 1:
        p.priority = 1;
        break;
    case 2:
        p.priority = 5;
        break;
    default:
        break;
    }
    p.returnReceipt = account.RequestReceipt;
    p.serverLogin = account.UseLogin;
    p.popLogin = account.UsePopLogin;
    p.userName = account.UserName;
    p.password = account.UserPassword;
    p.pop3Host = account.Pop3Server;
    p.thirdOption = 100;
    p.caFile = account.CaFile;
    return p;
}

} // namespace corvane
