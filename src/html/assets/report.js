// report script
