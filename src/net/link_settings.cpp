#include "net/link_settings.h"

const std::string UserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows 98)";
const std::string AcceptTypes =
    "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/msword, */*";

int32_t ConnectTimeout = 60000;
int32_t SendTimeout = 180000;
int32_t ReceiveTimeout = 180000;
int32_t DataSendTimeout = 180000;
int32_t DataReceiveTimeout = 180000;

void SetLinkOptions(TTransportSession& session) {
  session.SetOption(THttpOption::ConnectTimeout, ConnectTimeout);
  session.SetOption(THttpOption::SendTimeout, SendTimeout);
  session.SetOption(THttpOption::ReceiveTimeout, ReceiveTimeout);
  session.SetOption(THttpOption::DataSendTimeout, DataSendTimeout);
  session.SetOption(THttpOption::DataReceiveTimeout, DataReceiveTimeout);
}
