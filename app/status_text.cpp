#include "app/status_text.h"

const char* StatusText(int code, bool clientListFailedBefore) {
  switch (code) {
    case 0:
      return "正在连接更新服务器……";
    case 1:
      return "正在获取更新列表……";
    case 2:
      return "无法获取更新列表,检查网络";
    case 3:
      return "已暂停";
    case 4:
      return "更新列表错误";
    case 5:
      return "正在更新登录器 ";
    case 7:
      return "更新文件下载失败";
    case 8:
      return "更新登录器失败";
    case 9:
      return "升级工具更新失败";
    case 10:
      return "游戏修复工具更新失败";
    case 11:
      return "打包工具更新失败";
    case 12:
      return "下载文件已损坏";
    case 15:
      return "启动文件错误,正在修复游戏";
    case 18:
      return "游戏更新失败";
    case 19:
      return "无法连接到更新服务器";
    case 21:
      return "文件打包错误";
    case 22:
      return "无法打开打包工具";
    case 23:
      return "无法打开解压工具";
    case 25:
      return "文件解压错误";
    case 26:
      return "无法获取下载文件大小";
    case 27:
      return "您的版本过低，已不支持更新，请下载最新客户端，谢谢！";
    case 28:
      return "正在获取服务器列表……";
    case 29:
      return "游戏启动中……";
    case 30:
      return clientListFailedBefore ? "损坏无法修复，检查网络环境" : "更新文件列表损坏，请修复";
    case 31:
      return "配置文件损坏,正在修复游戏";
    case 33:
      return "替换更新文件失败";
    case 35:
      return "文件列表错误";
    default:
      return "";
  }
}

bool IsFailureStatus(int code) {
  switch (code) {
    case 2:
    case 4:
    case 7:
    case 8:
    case 9:
    case 10:
    case 11:
    case 12:
    case 15:
    case 18:
    case 19:
    case 21:
    case 22:
    case 23:
    case 25:
    case 26:
    case 27:
    case 30:
    case 31:
    case 33:
    case 35:
      return true;
    default:
      return false;
  }
}
