include $(sort $(wildcard $(BR2_EXTERNAL_EVSNAP_PATH)/package/*/*.mk))
