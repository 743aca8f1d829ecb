document.getElementById("status").textContent = "gateway reachable";
