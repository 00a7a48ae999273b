function refresh() { location.reload(); }
setInterval(refresh, 30000);
